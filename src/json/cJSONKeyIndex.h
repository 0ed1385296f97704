// A hash index from ASCII-case-folded key to the chain of entries under that key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// Open addressing with linear probing: a bucket holds the key's hash and the first
// and last entry of its chain, so a lookup usually touches one bucket and one entry,
// and growing or deleting never needs the keys again. The keys themselves stay in
// the entry list; a lookup reads them through `keyOf(slot)`.
class cJSONKeyIndex {
 public:
  using Slot = std::uint32_t;
  static constexpr Slot None = UINT32_MAX;

  // The entries that share one key, in list order, linked through the entry list.
  struct Chain {
    Slot head = None;
    Slot tail = None;
  };

  static constexpr std::size_t NotFound = static_cast<std::size_t>(-1);

  // The position of the chain of `key`, or NotFound.
  template <class KeyOf>
  std::size_t Find(std::string_view key, KeyOf keyOf) const {
    if (buckets_.empty()) {
      return NotFound;
    }
    const std::uint32_t hash = Hash(key);
    for (std::size_t at = hash & Mask();; at = (at + 1) & Mask()) {
      const Bucket& bucket = buckets_[at];
      if (bucket.chain.head == None) {
        return NotFound;
      }
      if (bucket.hash == hash && KeysEqual(keyOf(bucket.chain.head), key)) {
        return at;
      }
    }
  }

  // The position of the chain of `key`. For an absent key that is a new empty
  // chain, which the caller fills at once: an empty chain reads as a free bucket.
  template <class KeyOf>
  std::size_t Insert(std::string_view key, KeyOf keyOf) {
    const std::size_t found = Find(key, keyOf);
    if (found != NotFound) {
      return found;
    }
    if ((used_ + 1) * 2 > buckets_.size()) {
      Rehash(buckets_.empty() ? 16 : buckets_.size() * 2);
    }
    const std::uint32_t hash = Hash(key);
    std::size_t at = hash & Mask();
    while (buckets_[at].chain.head != None) {
      at = (at + 1) & Mask();
    }
    ++used_;
    buckets_[at].hash = hash;
    return at;
  }

  Chain& ChainAt(std::size_t at) { return buckets_[at].chain; }
  const Chain& ChainAt(std::size_t at) const { return buckets_[at].chain; }
  // Drops the chain at `at`; the other chains stay where Find finds them.
  void Remove(std::size_t at);
  // Makes room for `keys` keys at once.
  void Reserve(std::size_t keys);

  // For each entry of the list, the next entry with an equal key, or None: the chains.
  std::vector<Slot> nextSame;

 private:
  struct Bucket {
    std::uint32_t hash = 0;
    Chain chain;
  };

  static std::uint32_t Hash(std::string_view key);
  static bool KeysEqual(std::string_view a, std::string_view b);
  std::size_t Mask() const { return buckets_.size() - 1; }
  void Rehash(std::size_t size);

  std::vector<Bucket> buckets_;  // a power of two in size, at most half used
  std::size_t used_ = 0;
};
