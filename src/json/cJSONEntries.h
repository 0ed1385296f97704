// The ordered entry list of a cJSON node: name=value lines with their tags, indexed by key when
// big.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cJSONArena.h"
#include "cJSONChild.h"
#include "cJSONKeyIndex.h"

class cJSON;

// Each entry is a line and a tag. In an object the line is key "=" value; in an
// array it is the element's value alone. The tag is a kind code, or a child node
// that the entry owns.
//
// Keys compare ASCII-case-insensitively and a lookup finds the first entry whose
// key matches; a line without "=" has no key and is never found by a lookup.
// Deleting leaves a hole that is closed on the next access by position (or once
// holes outnumber entries), and big lists keep a hash index from key to their
// chain of entries, so that reading and walking a document stay linear in its size.
//
// A big answer holds millions of entries, so an entry is 16 bytes (5 in a packed list) and
// the lines of a list share one block of text; a rewritten or deleted line leaves its old text
// behind until such text makes up half of the block.
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
  // The part of line `index` before its first "="; empty when it has none or the index is out of
  // range.
  std::string KeyAt(int index) const;
  // Line `index` as stored; empty for an index out of range.
  std::string LineAt(int index) const;

  // The handle of entry `index`, NoSlot when out of range. Closes holes first.
  Slot SlotAt(int index) const {
    if (index < 0 || static_cast<std::uint32_t>(index) >= live_) {
      return NoSlot;
    }
    if (slot_count_ != live_) {
      Compact();
    }
    return static_cast<Slot>(index);
  }
  // The first entry whose key matches `key`, or NoSlot.
  Slot Find(std::string_view key) const;

  // The line of an entry; valid until the list next changes.
  std::string_view Line(Slot slot) const {
    if (flags_.packed) {
      const std::uint32_t* const ends = Ends();
      const std::uint32_t begin = slot == 0 ? 0 : ends[slot - 1];
      return {reinterpret_cast<const char*>(PackedKinds() + slot_count_) + begin,
              ends[slot] - begin};
    }
    return {Text() + slots_[slot].offset, slots_[slot].length};
  }
  // The part of the line after its first "="; empty when it has none.
  std::string_view ValueOf(Slot slot) const;
  // The kind code of the tag: a child reports JSON_ARRAY or JSON_OBJECT.
  int KindOf(Slot slot) const;
  cJSON* ChildOf(Slot slot) const { return flags_.packed ? nullptr : slots_[slot].Child(); }

  // Adds a line at the end with a kind code, or with a child when one is given.
  Slot Append(std::string_view line, int kind, cJSONChildPtr child = nullptr);
  // Adds the line key "=" value at the end, as Append does. The caller has found no entry under
  // `key`.
  Slot AppendMember(std::string_view key, std::string_view value, int kind,
                    cJSONChildPtr child = nullptr);
  // Moves every entry of `from`, children included, to the end of this list as AppendMember
  // would add it (Append for a line without a key); `from` is left empty. The caller has found
  // none of their keys here.
  void AppendMembersOf(cJSONEntries& from);
  // Replaces the line of an entry whose key matches the new line's key; the tag stays.
  void Rewrite(Slot slot, std::string_view line);
  // Replaces the line of an entry by key "=" value, as Rewrite does.
  void RewriteMember(Slot slot, std::string_view key, std::string_view value);
  // Replaces the tag; a child held before is destroyed.
  void SetTag(Slot slot, int kind, cJSONChildPtr child = nullptr);
  // Destroys the child of an entry, if any, whose tag becomes JSON_WORD; writes nothing but that
  // entry, so that children of different entries may be dropped on different threads at once.
  void DropChild(Slot slot);
  // Deletes an entry that Find returned, destroying its child.
  void Erase(Slot slot);
  // Destroys every child, then empties the list.
  void Clear();
  // True when no two lines have the same key, so that the key of a line finds that very line.
  // Kept as the lines are added (a line whose key was not looked up counts as a repeat).
  bool KeysUnique() const { return !flags_.repeatsKeys; }
  // False when no line begins with a quote, so that Find of a quoted key finds nothing.
  bool MayHoldQuotedKeys() const { return flags_.quotedKeys; }
  // Gives back the room kept for growth, once the list is complete: the entries and their
  // text then share one block of exactly their size.
  void ShrinkToFit();
  // Exchanges the whole content, children and storage, with `other`.
  void Swap(cJSONEntries& other) noexcept;
  // Takes over the entries of `from`, children included, into one block of exactly their size,
  // cut from `arena` when one is given and the block is small enough, without the key index;
  // this list must be empty. `from` is left empty but keeps its storage, so a reader can fill
  // node after node in the same grown storage and allocate once per node.
  void TakeFitted(cJSONEntries& from, cJSONArena* arena = nullptr);
  // Keeps the regions of a reading into this list's node (merged with any it keeps already).
  void Hold(std::unique_ptr<cJSONArena::Held> held);
  // Hands over the regions kept, if any.
  std::unique_ptr<cJSONArena::Held> TakeHeld();
  // True when the list keeps a block or a cache of its own on the heap.
  bool HasHeapStorage() const {
    // A list with a text block of its own keeps it in its Extras.
    return (slots_ != nullptr && !flags_.slotsInArena) || extras_ != nullptr;
  }
  // Gives back the list's own storage and empties it without destroying its children: for a
  // document whose regions go at once, children and all.
  void ReleaseStorage() noexcept;
  // The lines of a packed list, end to end in `text`, line i ending at ends[i]; false, with
  // nothing set, for a list that is not packed. Valid until the list next changes.
  bool PackedLines(const std::uint32_t*& ends, std::string_view& text) const {
    if (!flags_.packed) {
      return false;
    }
    ends = Ends();
    text = {reinterpret_cast<const char*>(PackedKinds() + slot_count_),
            slot_count_ == 0 ? 0 : ends[slot_count_ - 1]};
    return true;
  }
  // True when `text` lies in this list's own lines, which any change may move.
  bool Holds(std::string_view text) const {
    const char* const own = Text();
    return !text.empty() && own && text.data() >= own && text.data() < own + text_used_;
  }

 private:
  // A line's place in the text block, and its tag: a child pointer, or a kind code
  // shifted up with the lowest bit set (children are aligned, so that bit tells them apart).
  struct Entry {
    std::uint32_t offset;
    std::uint32_t length;  // Hole for a deleted entry
    std::uintptr_t tag;

    static constexpr std::uint32_t Hole = UINT32_MAX;
    bool Alive() const { return length != Hole; }
    cJSON* Child() const { return (tag & 1u) != 0 ? nullptr : reinterpret_cast<cJSON*>(tag); }
  };

  // The tag of a new entry; notes that the list holds children when it is one.
  std::uintptr_t Tag(int kind, cJSONChildPtr child);
  static void DestroyChild(Entry& entry);
  static std::string_view KeyOfLine(std::string_view line, bool& hasKey);
  // The key of an entry known to have one, as the index reads it.
  std::string_view KeyOfSlot(Slot slot) const;
  Slot FindByScan(std::string_view key) const;
  void ReserveSlot();
  Slot AddEntry(std::uint32_t offset, std::uint32_t length, std::uintptr_t tag);
  // Copies `parts` one after another to the end of the text block; returns where they begin.
  std::uint32_t AddText(std::string_view first, std::string_view second = {},
                        std::string_view third = {});
  void GrowText(std::size_t needed);
  void GrowSlots();
  void DropText(std::uint32_t length);
  void CompactText();
  void BuildIndex() const;
  void IndexSlot(Slot slot) const;
  void Unindex(Slot slot);
  void Compact() const;

  void FreeSlots();
  void FreeText();
  // Empties the list without destroying children or giving back storage.
  void Forget();

  // A fitted list without children is packed: most lists of a big answer hold only scalars, and
  // an entry then takes 5 bytes instead of 16. The block holds the end of every line in the text
  // (4 bytes each), then the kind code of every entry (1 byte each, negated), then the lines end
  // to end; a packed list has no holes. Any change unpacks the list first.
  const std::uint32_t* Ends() const { return reinterpret_cast<const std::uint32_t*>(slots_); }
  const std::uint8_t* PackedKinds() const {
    return reinterpret_cast<const std::uint8_t*>(slots_) + sizeof(std::uint32_t) * slot_count_;
  }
  static constexpr std::size_t PackedEntryBytes = sizeof(std::uint32_t) + sizeof(std::uint8_t);
  // Gives a packed list blocks of entries and text of its own on the heap, of exactly its size,
  // as every change needs first; nothing for a list that is not packed.
  void Unpack() {
    if (flags_.packed) {
      UnpackBlocks();
    }
  }
  void UnpackBlocks();

  // What only some lists need, kept aside so that the many small ones stay small.
  struct Extras {
    std::unique_ptr<cJSONKeyIndex> index;  // of a big list
    std::uint32_t textDropped = 0;         // bytes of the block that no line uses any more
    // The room of the blocks: a list without Extras has exactly the room it uses, as a list read
    // into a document has, so that its node stays small.
    std::uint32_t slotCapacity = 0;
    std::uint32_t textCapacity = 0;
    std::unique_ptr<cJSONArena::Held> held;  // the regions of the readings into this node
    char* text = nullptr;                    // the text block of a list not fitted
  };
  cJSONKeyIndex* Index() const { return extras_ ? extras_->index.get() : nullptr; }
  std::uint32_t TextDropped() const { return extras_ ? extras_->textDropped : 0; }
  std::uint32_t SlotCapacity() const { return extras_ ? extras_->slotCapacity : slot_count_; }
  std::uint32_t TextCapacity() const { return extras_ ? extras_->textCapacity : text_used_; }
  Extras& MakeExtras() const;
  // The text block: behind the entries in a fitted list, or a block of its own, kept in Extras,
  // since a big answer's nodes are mostly fitted and should not carry the pointer.
  char* Text() const {
    if (flags_.textInSlots) {
      return reinterpret_cast<char*>(slots_) +
             (flags_.packed ? PackedEntryBytes : sizeof(Entry)) * slot_count_;
    }
    return extras_ ? extras_->text : nullptr;
  }

  // Both blocks are raw storage from operator new (or the entries' block from an arena): the
  // text either has a block of its own or, once fitted, lies behind the entries in theirs
  // (`textInSlots`) and goes with it; the count of entries then stays as it is until the text
  // moves out, since it tells where the text begins. A packed list's block is not made of
  // Entry: only Ends and PackedKinds read it.
  Entry* slots_ = nullptr;
  // Holes and the index are caches of a logically constant list, hence mutable.
  mutable std::unique_ptr<Extras> extras_;
  mutable std::uint32_t slot_count_ = 0;  // entries and holes
  std::uint32_t text_used_ = 0;
  Slot live_ = 0;
  struct Flags {
    bool quotedKeys : 1 = false;  // some line begins with a quote: a quoted key may be found
    bool textInSlots : 1 = false;
    bool slotsInArena : 1 = false;   // the block of entries is a piece of a cJSONArena
    bool repeatsKeys : 1 = false;    // two lines may have the same key
    bool holdsChildren : 1 = false;  // some entry may hold a child: clearing must look
    bool outOfOrder : 1 = false;     // an empty line was rewritten: the lines are not end to end
    bool packed : 1 = false;         // the entries are packed (Ends, PackedKinds)
    bool wideKinds : 1 = false;      // some kind code does not fit a byte: the list cannot pack
  } flags_;
};
