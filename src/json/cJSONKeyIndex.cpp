// A hash index from ASCII-case-folded key to the chain of entries under that key.
#include "cJSONKeyIndex.h"

#include "NameValueList.h"

std::uint32_t cJSONKeyIndex::Hash(std::string_view key) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the case-folded bytes
  for (const char c : key) {
    const auto u = static_cast<unsigned char>(c);
    hash = (hash ^ ((u >= 'A' && u <= 'Z') ? u + ('a' - 'A') : u)) * 1099511628211ull;
  }
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

bool cJSONKeyIndex::KeysEqual(std::string_view a, std::string_view b) {
  return EqualsIgnoreCase(a, b);
}

void cJSONKeyIndex::Remove(std::size_t at) {
  --used_;
  // Backward shift: a later bucket of the same probe run moves into the hole
  // unless its home lies after the hole, so no lookup ever stops short.
  std::size_t hole = at;
  for (std::size_t next = (hole + 1) & Mask(); buckets_[next].chain.head != None;
       next = (next + 1) & Mask()) {
    const std::size_t home = buckets_[next].hash & Mask();
    if (((next - home) & Mask()) >= ((next - hole) & Mask())) {
      buckets_[hole] = buckets_[next];
      hole = next;
    }
  }
  buckets_[hole] = Bucket{};
}

void cJSONKeyIndex::Reserve(std::size_t keys) {
  std::size_t size = 16;
  while (size < keys * 2) {
    size *= 2;
  }
  if (size > buckets_.size()) {
    Rehash(size);
  }
}

void cJSONKeyIndex::Rehash(std::size_t size) {
  std::vector<Bucket> old(size);
  old.swap(buckets_);
  for (const Bucket& bucket : old) {
    if (bucket.chain.head == None) {
      continue;
    }
    std::size_t at = bucket.hash & Mask();
    while (buckets_[at].chain.head != None) {
      at = (at + 1) & Mask();
    }
    buckets_[at] = bucket;
  }
}
