// The ordered entry list of a cJSON node: name=value lines with their tags, indexed by key when big.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cJSONKeyIndex.h"

class cJSON;

// Each entry is a line and a tag. In an object the line is key "=" value; in an
// array it is the element's value alone. The tag is a kind code, or a child node
// that the entry owns.
//
// Keys compare ASCII-case-insensitively and a lookup finds the first entry whose
// key matches; a line without "=" has no key and is never found by a lookup.
// Deleting leaves a hole that is closed on the next access by position (or once
// holes outnumber entries), and big
// lists keep a hash index from key to their chain of entries, so that reading
// and walking a document stay linear in its size.
class cJSONEntries {
public:
  // A handle of one entry, valid until the next access by position or Erase.
  using Slot = cJSONKeyIndex::Slot;
  static constexpr Slot NoSlot = cJSONKeyIndex::None;

  cJSONEntries();
  ~cJSONEntries();
  cJSONEntries(const cJSONEntries&) = delete;
  cJSONEntries& operator=(const cJSONEntries&) = delete;

  // The number of entries.
  int Count() const { return static_cast<int>(live_); }
  // The part of line `index` before its first "="; empty when it has none or the index is out of range.
  std::string KeyAt(int index) const;
  // Line `index` as stored; empty for an index out of range.
  std::string LineAt(int index) const;

  // The handle of entry `index`, NoSlot when out of range. Closes holes first.
  Slot SlotAt(int index) const;
  // The first entry whose key matches `key`, or NoSlot.
  Slot Find(std::string_view key) const;

  std::string_view Line(Slot slot) const { return slots_[slot].line; }
  // The part of the line after its first "="; empty when it has none.
  std::string_view ValueOf(Slot slot) const;
  // The kind code of the tag: a child reports JSON_ARRAY or JSON_OBJECT.
  int KindOf(Slot slot) const;
  cJSON* ChildOf(Slot slot) const { return slots_[slot].child.get(); }

  // Adds a line at the end with a kind code, or with a child when one is given.
  Slot Append(std::string line, int kind, std::unique_ptr<cJSON> child = nullptr);
  // Replaces the line of an entry whose key matches the new line's key; the tag stays.
  void Rewrite(Slot slot, std::string line);
  // Replaces the tag; a child held before is destroyed.
  void SetTag(Slot slot, int kind, std::unique_ptr<cJSON> child = nullptr);
  // Deletes an entry that Find returned, destroying its child.
  void Erase(Slot slot);
  // Destroys every child, then empties the list.
  void Clear();

private:
  // Packed small: a big answer holds millions of entries.
  struct Entry {
    std::string line;
    std::unique_ptr<cJSON> child;
    Slot nextSame = NoSlot;  // next entry with an equal key while indexed
    std::int8_t kind = 0;    // a scalar kind code, 0 to -4
    bool alive = true;
  };
  static std::string_view KeyOfLine(std::string_view line, bool& hasKey);
  // The key of an entry known to have one, as the index reads it.
  std::string_view KeyOfSlot(Slot slot) const;
  Slot FindByScan(std::string_view key) const;
  void BuildIndex() const;
  void IndexSlot(Slot slot) const;
  void Unindex(Slot slot);
  void Compact() const;

  // Holes and the index are caches of a logically constant list, hence mutable.
  mutable std::vector<Entry> slots_;
  mutable std::unique_ptr<cJSONKeyIndex> index_;
  Slot live_ = 0;
};
