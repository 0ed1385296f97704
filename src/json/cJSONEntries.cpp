// The ordered entry list of a cJSON node: first-match lookup, lazily closed holes, the shared text
// block and the key index.
#include "cJSONEntries.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "cJSONArena.h"
#include "cJSONChild.h"

namespace {

// Lines and keys are short: a plain loop finds a character there sooner than a library call.
std::size_t FindChar(std::string_view text, char c) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c) {
      return i;
    }
  }
  return std::string_view::npos;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// EqualsIgnoreCase for a stored key known to be as long as `key`, inline for the scans of short
// lists.
bool SameKey(const char* stored, std::string_view key) {
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (stored[i] != key[i] && AsciiLower(stored[i]) != AsciiLower(key[i])) {
      return false;
    }
  }
  return true;
}

// Copies `size` bytes, at least one Word and at most two, as two possibly overlapping words.
template <class Word>
[[gnu::always_inline]] inline void CopyTwoWords(char* out, const char* in, std::size_t size) {
  Word head = 0;
  Word tail = 0;
  std::memcpy(&head, in, sizeof head);
  std::memcpy(&tail, in + size - sizeof tail, sizeof tail);
  std::memcpy(out, &head, sizeof head);
  std::memcpy(out + size - sizeof tail, &tail, sizeof tail);
}

// Copies one part of a line behind another; the block's free room never overlaps a part. Parts
// are mostly short: up to 16 bytes go as two overlapping words, without a call.
[[gnu::always_inline]] inline char* CopyPart(char* out, std::string_view part) {
  const std::size_t size = part.size();
  const char* const in = part.data();
  if (size >= 8 && size <= 16) {
    CopyTwoWords<std::uint64_t>(out, in, size);
  } else if (size >= 4 && size < 8) {
    CopyTwoWords<std::uint32_t>(out, in, size);
  } else if (size < 4) {
    for (std::size_t i = 0; i < size; ++i) {
      out[i] = in[i];
    }
  } else {
    std::memcpy(out, in, size);
  }
  return out + size;
}

// Below this many entries a scan of short keys is cheaper than hashing.
constexpr std::size_t IndexThreshold = 16;

// Dropped text is given back once it is half of the block and more than this.
constexpr std::uint32_t DroppedTextSlack = 256;

}  // namespace

cJSONEntries::cJSONEntries() = default;

cJSONEntries::~cJSONEntries() { Clear(); }

namespace {

std::uintptr_t KindTag(int kind) { return (static_cast<std::uintptr_t>(-kind) << 1) | 1u; }

}  // namespace

std::uintptr_t cJSONEntries::Tag(int kind, cJSONChildPtr child) {
  if (child) {
    flags_.holdsChildren = true;
    return reinterpret_cast<std::uintptr_t>(child.release());
  }
  flags_.wideKinds = flags_.wideKinds || kind > 0 || kind < -static_cast<int>(UINT8_MAX);
  return KindTag(kind);
}

void cJSONEntries::DestroyChild(Entry& entry) {
  if (cJSON* const child = entry.Child()) {
    cJSONChildDeleter{}(child);
  }
  entry.tag = KindTag(JSON_NULL);
}

std::string_view cJSONEntries::KeyOfLine(std::string_view line, bool& hasKey) {
  const std::size_t eq = FindChar(line, '=');
  hasKey = eq != std::string_view::npos;
  return hasKey ? line.substr(0, eq) : std::string_view{};
}

std::string_view cJSONEntries::KeyOfSlot(Slot slot) const {
  bool hasKey = false;
  return KeyOfLine(Line(slot), hasKey);
}

std::string cJSONEntries::KeyAt(int index) const {
  const Slot slot = SlotAt(index);
  bool hasKey = false;
  return slot == NoSlot ? std::string{} : std::string(KeyOfLine(Line(slot), hasKey));
}

std::string cJSONEntries::LineAt(int index) const {
  const Slot slot = SlotAt(index);
  return slot == NoSlot ? std::string{} : std::string(Line(slot));
}

cJSONEntries::Slot cJSONEntries::Find(std::string_view key) const {
  // Keys are mostly stored without their quotes: a quoted key read again finds nothing at once.
  if (!key.empty() && (key.front() == '"' || key.front() == '\'') && !flags_.quotedKeys) {
    return NoSlot;
  }
  // Stored keys end at the first "=", so a key holding one can never match.
  if (FindChar(key, '=') != std::string_view::npos) {
    return NoSlot;
  }
  if (Index() == nullptr && live_ >= IndexThreshold) {
    BuildIndex();
  }
  const cJSONKeyIndex* const index = Index();
  if (index == nullptr) {
    return FindByScan(key);
  }
  const std::size_t at = index->Find(key, [this](Slot slot) { return KeyOfSlot(slot); });
  return at == cJSONKeyIndex::NotFound ? NoSlot : index->ChainAt(at).head;
}

cJSONEntries::Slot cJSONEntries::FindByScan(std::string_view key) const {
  if (flags_.packed) {
    for (Slot slot = 0; slot < slot_count_; ++slot) {
      const std::string_view line = Line(slot);
      if (line.size() > key.size() && line[key.size()] == '=' && SameKey(line.data(), key)) {
        return slot;
      }
    }
    return NoSlot;
  }
  const char* const text = Text();
  for (Slot slot = 0; slot < slot_count_; ++slot) {
    const Entry& entry = slots_[slot];
    if (entry.Alive() && entry.length > key.size()) {
      const char* line = text + entry.offset;
      if (line[key.size()] == '=' && SameKey(line, key)) {
        return slot;
      }
    }
  }
  return NoSlot;
}

std::string_view cJSONEntries::ValueOf(Slot slot) const {
  const std::string_view line = Line(slot);
  const std::size_t eq = FindChar(line, '=');
  return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

int cJSONEntries::KindOf(Slot slot) const {
  if (flags_.packed) {
    return -static_cast<int>(PackedKinds()[slot]);
  }
  if (const cJSON* child = slots_[slot].Child()) {
    return IsArrayChild(*child) ? JSON_ARRAY : JSON_OBJECT;
  }
  return -static_cast<int>(slots_[slot].tag >> 1);
}

cJSONEntries::Slot cJSONEntries::Append(std::string_view line, int kind, cJSONChildPtr child) {
  ReserveSlot();
  flags_.repeatsKeys = flags_.repeatsKeys || FindChar(line, '=') != std::string_view::npos;
  const std::uint32_t offset = AddText(line);
  return AddEntry(offset, static_cast<std::uint32_t>(line.size()), Tag(kind, std::move(child)));
}

cJSONEntries::Slot cJSONEntries::AppendMember(std::string_view key, std::string_view value,
                                              int kind, cJSONChildPtr child) {
  ReserveSlot();
  // The line's key is the part of `key` before an "=" in it, which nobody looked up.
  flags_.repeatsKeys = flags_.repeatsKeys || FindChar(key, '=') != std::string_view::npos;
  const std::size_t length = key.size() + 1 + value.size();
  std::uint32_t offset = text_used_;
  if (length <= TextCapacity() - text_used_) {
    // AddText's steps where the line fits: the parts then lie outside the room it goes to.
    flags_.quotedKeys =
        flags_.quotedKeys || (!key.empty() && (key.front() == '"' || key.front() == '\''));
    char* const out = CopyPart(Text() + offset, key);
    *out = '=';
    CopyPart(out + 1, value);
    text_used_ += static_cast<std::uint32_t>(length);
  } else {
    offset = AddText(key, "=", value);
  }
  return AddEntry(offset, static_cast<std::uint32_t>(length), Tag(kind, std::move(child)));
}

void cJSONEntries::DropChild(Slot slot) {
  if (flags_.packed) {
    return;  // holds no children
  }
  if (cJSON* const child = slots_[slot].Child()) {
    slots_[slot].tag = KindTag(JSON_WORD);
    cJSONChildDeleter{}(child);
  }
}

void cJSONEntries::AppendMembersOf(cJSONEntries& from) {
  for (int i = 0; i < from.Count(); ++i) {
    const Slot slot = from.SlotAt(i);
    const std::string_view line = from.Line(slot);
    cJSON* const child = from.ChildOf(slot);
    const int kind = child != nullptr ? JSON_NULL : from.KindOf(slot);
    if (child != nullptr) {
      from.slots_[slot].tag = KindTag(JSON_NULL);  // this list owns it from here on
    }
    cJSONChildPtr owned(child);
    bool hasKey = false;
    const std::string_view key = KeyOfLine(line, hasKey);
    if (hasKey) {
      AppendMember(key, line.substr(key.size() + 1), kind, std::move(owned));
    } else {
      Append(line, kind, std::move(owned));
    }
  }
  from.Clear();
}

// Room for one more entry is made before its text and child are taken, so a failure leaves both
// with the caller.
void cJSONEntries::ReserveSlot() {
  Unpack();
  if (slot_count_ == SlotCapacity()) {
    GrowSlots();
  }
}

cJSONEntries::Slot cJSONEntries::AddEntry(std::uint32_t offset, std::uint32_t length,
                                          std::uintptr_t tag) {
  const Slot slot = slot_count_++;
  slots_[slot] = Entry{offset, length, tag};
  ++live_;
  if (Index() != nullptr) {
    IndexSlot(slot);
  }
  return slot;
}

void cJSONEntries::GrowSlots() {
  const std::uint32_t old = SlotCapacity();
  const std::uint32_t capacity = std::max<std::uint32_t>(4, old * 2);
  if (capacity <= old) {
    throw std::length_error("cJSONEntries: too many entries");
  }
  // Text that lies in the old block of entries moves to a block of its own first.
  if (flags_.textInSlots) {
    GrowText(0);
  }
  Extras& extras = MakeExtras();
  auto* const grown = static_cast<Entry*>(::operator new(sizeof(Entry) * capacity));
  if (slot_count_ > 0) {
    std::memcpy(grown, slots_, sizeof(Entry) * slot_count_);
  }
  FreeSlots();
  slots_ = grown;
  extras.slotCapacity = capacity;
}

void cJSONEntries::FreeSlots() {
  if (flags_.slotsInArena) {
    cJSONArena::Free(slots_);
  } else {
    ::operator delete(slots_);
  }
  slots_ = nullptr;
  flags_.slotsInArena = false;
}

void cJSONEntries::FreeText() {
  if (!flags_.textInSlots && extras_) {
    ::operator delete(extras_->text);
    extras_->text = nullptr;
  }
  flags_.textInSlots = false;
}

std::uint32_t cJSONEntries::AddText(std::string_view first, std::string_view second,
                                    std::string_view third) {
  const std::size_t needed = first.size() + second.size() + third.size();
  if (needed > UINT32_MAX - text_used_) {
    throw std::length_error("cJSONEntries: text too long");
  }
  if (text_used_ + needed > TextCapacity()) {
    // The parts may be views into this very block, which growing moves.
    const std::string copies = std::string(first) + std::string(second) + std::string(third);
    GrowText(needed);
    return AddText(copies);
  }
  const std::uint32_t offset = text_used_;
  char* out = Text() + offset;
  const std::string_view lineStart = first.empty() ? second : first;
  flags_.quotedKeys =
      flags_.quotedKeys ||
      (!lineStart.empty() && (lineStart.front() == '"' || lineStart.front() == '\''));
  out = CopyPart(out, first);
  out = CopyPart(out, second);
  CopyPart(out, third);
  text_used_ += static_cast<std::uint32_t>(needed);
  return offset;
}

void cJSONEntries::GrowText(std::size_t needed) {
  Extras& extras = MakeExtras();
  const std::size_t capacity =
      std::max<std::size_t>({32, std::size_t{TextCapacity()} * 2, text_used_ + needed});
  const auto bounded = static_cast<std::uint32_t>(std::min<std::size_t>(capacity, UINT32_MAX));
  auto* const grown = static_cast<char*>(::operator new(bounded));
  if (text_used_ > 0) {
    std::memcpy(grown, Text(), text_used_);
  }
  FreeText();
  extras.text = grown;
  extras.textCapacity = bounded;
}

void cJSONEntries::Rewrite(Slot slot, std::string_view line) {
  Unpack();
  const std::uint32_t old = slots_[slot].length;
  const std::uint32_t offset = AddText(line);
  slots_[slot].offset = offset;
  slots_[slot].length = static_cast<std::uint32_t>(line.size());
  flags_.outOfOrder = flags_.outOfOrder || old == 0;
  DropText(old);
}

void cJSONEntries::RewriteMember(Slot slot, std::string_view key, std::string_view value) {
  Unpack();
  const std::uint32_t old = slots_[slot].length;
  const std::uint32_t offset = AddText(key, "=", value);
  slots_[slot].offset = offset;
  slots_[slot].length = static_cast<std::uint32_t>(key.size() + 1 + value.size());
  flags_.outOfOrder = flags_.outOfOrder || old == 0;
  DropText(old);
}

void cJSONEntries::SetTag(Slot slot, int kind, cJSONChildPtr child) {
  Unpack();
  DestroyChild(slots_[slot]);
  slots_[slot].tag = Tag(kind, std::move(child));
}

void cJSONEntries::Erase(Slot slot) {
  Unpack();
  // The count of entries is about to change, which would move a fitted list's text.
  if (flags_.textInSlots) {
    GrowText(0);
  }
  if (Index() != nullptr) {
    Unindex(slot);
  }
  Entry& entry = slots_[slot];
  DestroyChild(entry);
  const std::uint32_t length = entry.length;
  entry.length = Entry::Hole;
  --live_;
  if (slot + 1 == slot_count_) {
    --slot_count_;
  }
  DropText(length);
  // Holes are closed once they outnumber the entries, so scans and memory stay
  // in proportion to the entries however often members move to the end.
  if (slot_count_ > 2 * static_cast<std::size_t>(live_) + IndexThreshold) {
    Compact();
  }
}

// Text no line uses any more is given back once it is half of the block.
void cJSONEntries::DropText(std::uint32_t length) {
  std::uint32_t& dropped = MakeExtras().textDropped;
  dropped += length;
  if (dropped > DroppedTextSlack && dropped * 2 > text_used_) {
    CompactText();
  }
}

void cJSONEntries::CompactText() {
  const std::uint32_t used = text_used_ - TextDropped();
  auto* const packed = static_cast<char*>(::operator new(std::max<std::uint32_t>(used, 1)));
  std::uint32_t at = 0;
  const char* const text = Text();
  for (Slot slot = 0; slot < slot_count_; ++slot) {
    Entry& entry = slots_[slot];
    if (entry.Alive()) {
      if (entry.length > 0) {
        std::memcpy(packed + at, text + entry.offset, entry.length);
      }
      entry.offset = at;
      at += entry.length;
    }
  }
  FreeText();
  extras_->text = packed;
  text_used_ = at;
  extras_->textCapacity = std::max<std::uint32_t>(used, 1);
  extras_->textDropped = 0;
  flags_.outOfOrder = false;
}

void cJSONEntries::Unindex(Slot slot) {
  bool hasKey = false;
  const std::string_view key = KeyOfLine(Line(slot), hasKey);
  cJSONKeyIndex& index = *Index();
  const std::size_t at =
      hasKey ? index.Find(key, [this](Slot s) { return KeyOfSlot(s); }) : cJSONKeyIndex::NotFound;
  if (at == cJSONKeyIndex::NotFound) {
    return;
  }
  cJSONKeyIndex::Chain& chain = index.ChainAt(at);
  std::vector<Slot>& nextSame = index.nextSame;
  const Slot next = nextSame[slot];
  if (chain.head == slot && next == NoSlot) {
    index.Remove(at);
  } else if (chain.head == slot) {
    chain.head = next;
  } else {
    // Only the first entry of a key is ever erased; keep the chain whole regardless.
    Slot before = chain.head;
    while (nextSame[before] != slot) {
      before = nextSame[before];
    }
    nextSame[before] = next;
    chain.tail = chain.tail == slot ? before : chain.tail;
  }
}

void cJSONEntries::Clear() {
  // Most lists of a big document hold scalars only: their entries need not be read again.
  if (flags_.holdsChildren) {
    for (Slot slot = 0; slot < slot_count_; ++slot) {
      if (cJSON* const child = slots_[slot].Child()) {
        cJSONChildDeleter{}(child);
      }
    }
  }
  FreeText();
  FreeSlots();
  extras_.reset();
  slot_count_ = 0;
  text_used_ = 0;
  live_ = 0;
  flags_.quotedKeys = false;
  flags_.repeatsKeys = false;
  flags_.holdsChildren = false;
  flags_.outOfOrder = false;
  flags_.packed = false;
  flags_.wideKinds = false;
}

void cJSONEntries::Hold(std::unique_ptr<cJSONArena::Held> held) {
  if (held == nullptr) {
    return;
  }
  Extras& extras = MakeExtras();
  if (extras.held == nullptr) {
    extras.held = std::move(held);
  } else {
    extras.held->Merge(*held);
  }
}

std::unique_ptr<cJSONArena::Held> cJSONEntries::TakeHeld() {
  return extras_ ? std::move(extras_->held) : nullptr;
}

void cJSONEntries::ReleaseStorage() noexcept {
  if (flags_.slotsInArena) {
    // The block goes with its region.
    slots_ = nullptr;
    flags_.textInSlots = false;
    flags_.slotsInArena = false;
  }
  FreeText();
  FreeSlots();
  extras_.reset();
  Forget();
}

void cJSONEntries::ShrinkToFit() {
  Compact();
  const bool fitted =
      flags_.packed || (slot_count_ == SlotCapacity() && TextDropped() == 0 &&
                        text_used_ == TextCapacity() && (flags_.textInSlots || slot_count_ == 0));
  if (fitted) {
    return;
  }
  std::unique_ptr<cJSONArena::Held> held = TakeHeld();
  cJSONEntries grown;
  grown.Swap(*this);
  TakeFitted(grown);
  Hold(std::move(held));
}

void cJSONEntries::Swap(cJSONEntries& other) noexcept {
  std::swap(slots_, other.slots_);
  std::swap(extras_, other.extras_);
  std::swap(slot_count_, other.slot_count_);
  std::swap(text_used_, other.text_used_);
  std::swap(live_, other.live_);
  std::swap(flags_, other.flags_);
}

void cJSONEntries::TakeFitted(cJSONEntries& from, cJSONArena* arena) {
  from.Unpack();
  from.Compact();
  const std::uint32_t count = from.slot_count_;
  const std::uint32_t used = from.text_used_ - from.TextDropped();
  const bool packed = count > 0 && !from.flags_.holdsChildren && !from.flags_.wideKinds;
  const std::size_t entryBytes = (packed ? PackedEntryBytes : sizeof(Entry)) * count;
  const std::size_t bytes = entryBytes + used;
  const bool inArena = count > 0 && arena != nullptr && bytes <= cJSONArena::MaxPiece;
  char* const block = count == 0 ? nullptr
                      : inArena  ? static_cast<char*>(arena->Allocate(bytes))
                                 : static_cast<char*>(::operator new(bytes));
  auto* const slots = reinterpret_cast<Entry*>(block);
  char* const text = block + entryBytes;
  const char* const fromText = from.Text();
  if (packed) {
    std::uint32_t at = 0;
    auto* const ends = reinterpret_cast<std::uint32_t*>(block);
    auto* const kinds = reinterpret_cast<std::uint8_t*>(block) + sizeof(std::uint32_t) * count;
    for (Slot slot = 0; slot < count; ++slot) {
      const Entry& entry = from.slots_[slot];
      at += entry.length;
      ends[slot] = at;
      kinds[slot] = static_cast<std::uint8_t>(entry.tag >> 1);
    }
    if (from.TextDropped() == 0 && !from.flags_.outOfOrder) {
      if (used > 0) {
        std::memcpy(text, fromText, used);
      }
    } else {
      for (Slot slot = 0; slot < count; ++slot) {
        const Entry& entry = from.slots_[slot];
        if (entry.length > 0) {
          std::memcpy(text + ends[slot] - entry.length, fromText + entry.offset, entry.length);
        }
      }
    }
  } else if (from.TextDropped() == 0 && !from.flags_.outOfOrder && count > 0) {
    // No line was rewritten or erased: the lines lie in the block in order, end to end.
    std::memcpy(slots, from.slots_, sizeof(Entry) * count);
    if (used > 0) {
      std::memcpy(text, fromText, used);
    }
  } else {
    std::uint32_t at = 0;
    for (Slot slot = 0; slot < count; ++slot) {
      const Entry& entry = from.slots_[slot];
      if (entry.length > 0) {  // an empty line may have no text block to point into
        std::memcpy(text + at, fromText + entry.offset, entry.length);
      }
      slots[slot] = Entry{at, entry.length, entry.tag};
      at += entry.length;
    }
  }
  // Nothing below throws: the children change owner together with their entries.
  Clear();
  slots_ = slots;
  slot_count_ = count;
  text_used_ = count == 0 ? 0 : used;
  live_ = from.live_;
  // What the lines are like goes along; where they lie is new.
  flags_ = from.flags_;
  flags_.textInSlots = count > 0;
  flags_.slotsInArena = inArena;
  flags_.outOfOrder = false;
  flags_.packed = packed;
  // The key index is a cache: a list that is looked up again builds it anew, and most are not.
  from.Forget();
}

void cJSONEntries::UnpackBlocks() {
  const std::uint32_t count = slot_count_;
  auto* const entries = static_cast<Entry*>(::operator new(sizeof(Entry) * count));
  char* const text = text_used_ == 0 ? nullptr : static_cast<char*>(::operator new(text_used_));
  const char* const oldText = Text();
  const std::uint32_t* const ends = Ends();
  const std::uint8_t* const kinds = PackedKinds();
  std::uint32_t begin = 0;
  for (Slot slot = 0; slot < count; ++slot) {
    entries[slot] = Entry{begin, ends[slot] - begin, KindTag(-static_cast<int>(kinds[slot]))};
    begin = ends[slot];
  }
  if (text != nullptr) {
    std::memcpy(text, oldText, text_used_);
  }
  // Extras first: a block in a document's regions is marked before it goes.
  Extras& extras = MakeExtras();
  FreeText();
  FreeSlots();
  slots_ = entries;
  extras.text = text;
  flags_.packed = false;
  extras.slotCapacity = count;
  extras.textCapacity = text_used_;
}

void cJSONEntries::Forget() {
  slot_count_ = 0;
  live_ = 0;
  text_used_ = 0;
  flags_.quotedKeys = false;
  flags_.repeatsKeys = false;
  flags_.holdsChildren = false;
  flags_.outOfOrder = false;
  flags_.packed = false;
  flags_.wideKinds = false;
  // The storage stays, and with it the record of its room.
  if (extras_) {
    extras_->index.reset();
    extras_->textDropped = 0;
    extras_->held.reset();
  }
}

cJSONEntries::Extras& cJSONEntries::MakeExtras() const {
  if (!extras_) {
    // A list in a document's regions that gets storage of its own on the heap can no longer
    // be dropped with them.
    if (flags_.slotsInArena) {
      cJSONArena::Spoil(slots_);
    }
    extras_ = std::make_unique<Extras>();
    extras_->slotCapacity = slot_count_;
    extras_->textCapacity = text_used_;
  }
  return *extras_;
}

void cJSONEntries::BuildIndex() const {
  Extras& extras = MakeExtras();
  extras.index = std::make_unique<cJSONKeyIndex>();
  extras.index->Reserve(live_);
  extras.index->nextSame.assign(slot_count_, NoSlot);
  for (Slot slot = 0; slot < slot_count_; ++slot) {
    if (flags_.packed || slots_[slot].Alive()) {
      IndexSlot(slot);
    }
  }
}

void cJSONEntries::IndexSlot(Slot slot) const {
  cJSONKeyIndex& index = *Index();
  std::vector<Slot>& nextSame = index.nextSame;
  if (nextSame.size() <= slot) {
    nextSame.resize(std::max<std::size_t>(slot + 1, nextSame.size() * 2), NoSlot);
  }
  nextSame[slot] = NoSlot;
  bool hasKey = false;
  const std::string_view key = KeyOfLine(Line(slot), hasKey);
  if (!hasKey) {
    return;
  }
  cJSONKeyIndex::Chain& chain =
      index.ChainAt(index.Insert(key, [this](Slot s) { return KeyOfSlot(s); }));
  if (chain.head == NoSlot) {
    chain.head = slot;
  } else {
    nextSame[chain.tail] = slot;
  }
  chain.tail = slot;
}

void cJSONEntries::Compact() const {
  if (slot_count_ == live_) {
    return;
  }
  Entry* const end =
      std::remove_if(slots_, slots_ + slot_count_, [](const Entry& e) { return !e.Alive(); });
  slot_count_ = static_cast<std::uint32_t>(end - slots_);
  if (Index() != nullptr) {
    BuildIndex();
  }
}
