// The ordered entry list of a cJSON node: first-match lookup, lazily closed holes and the key index.
#include "cJSONEntries.h"

#include <algorithm>

#include "NameValueList.h"
#include "cJSON.h"

namespace {

// Below this many entries a scan of short keys is cheaper than hashing.
constexpr std::size_t IndexThreshold = 16;

}  // namespace

cJSONEntries::cJSONEntries() = default;

cJSONEntries::~cJSONEntries() { Clear(); }

std::string_view cJSONEntries::KeyOfLine(std::string_view line, bool& hasKey) {
  const std::size_t eq = line.find('=');
  hasKey = eq != std::string_view::npos;
  return hasKey ? line.substr(0, eq) : std::string_view{};
}

std::string_view cJSONEntries::KeyOfSlot(Slot slot) const {
  bool hasKey = false;
  return KeyOfLine(slots_[slot].line, hasKey);
}

std::string cJSONEntries::KeyAt(int index) const {
  const Slot slot = SlotAt(index);
  bool hasKey = false;
  return slot == NoSlot ? std::string{} : std::string(KeyOfLine(slots_[slot].line, hasKey));
}

std::string cJSONEntries::LineAt(int index) const {
  const Slot slot = SlotAt(index);
  return slot == NoSlot ? std::string{} : slots_[slot].line;
}

cJSONEntries::Slot cJSONEntries::SlotAt(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= live_) {
    return NoSlot;
  }
  Compact();
  return static_cast<Slot>(index);
}

cJSONEntries::Slot cJSONEntries::Find(std::string_view key) const {
  // Stored keys end at the first "=", so a key holding one can never match.
  if (key.find('=') != std::string_view::npos) {
    return NoSlot;
  }
  if (!index_ && live_ >= IndexThreshold) {
    BuildIndex();
  }
  if (!index_) {
    return FindByScan(key);
  }
  const std::size_t at = index_->Find(key, [this](Slot slot) { return KeyOfSlot(slot); });
  return at == cJSONKeyIndex::NotFound ? NoSlot : index_->ChainAt(at).head;
}

cJSONEntries::Slot cJSONEntries::FindByScan(std::string_view key) const {
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    const Entry& entry = slots_[slot];
    const std::string_view line = entry.line;
    if (entry.alive && line.size() > key.size() && line[key.size()] == '=' &&
        EqualsIgnoreCase(line.substr(0, key.size()), key)) {
      return static_cast<Slot>(slot);
    }
  }
  return NoSlot;
}

std::string_view cJSONEntries::ValueOf(Slot slot) const {
  const std::string_view line = slots_[slot].line;
  const std::size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view{} : line.substr(eq + 1);
}

int cJSONEntries::KindOf(Slot slot) const {
  const cJSON* child = slots_[slot].child.get();
  if (child) {
    return child->IsArray() ? JSON_ARRAY : JSON_OBJECT;
  }
  return slots_[slot].kind;
}

cJSONEntries::Slot cJSONEntries::Append(std::string line, int kind, std::unique_ptr<cJSON> child) {
  const auto slot = static_cast<Slot>(slots_.size());
  slots_.push_back(Entry{std::move(line), std::move(child), NoSlot, static_cast<std::int8_t>(kind), true});
  ++live_;
  if (index_) {
    IndexSlot(slot);
  }
  return slot;
}

void cJSONEntries::Rewrite(Slot slot, std::string line) { slots_[slot].line = std::move(line); }

void cJSONEntries::SetTag(Slot slot, int kind, std::unique_ptr<cJSON> child) {
  slots_[slot].child = std::move(child);
  slots_[slot].kind = static_cast<std::int8_t>(kind);
}

void cJSONEntries::Erase(Slot slot) {
  if (index_) {
    Unindex(slot);
  }
  Entry& entry = slots_[slot];
  entry.child.reset();
  std::string().swap(entry.line);
  entry.alive = false;
  --live_;
  if (slot + 1 == slots_.size()) {
    slots_.pop_back();
  }
  // Holes are closed once they outnumber the entries, so scans and memory stay
  // in proportion to the entries however often members move to the end.
  if (slots_.size() > 2 * static_cast<std::size_t>(live_) + IndexThreshold) {
    Compact();
  }
}

void cJSONEntries::Unindex(Slot slot) {
  bool hasKey = false;
  const std::string_view key = KeyOfLine(slots_[slot].line, hasKey);
  const std::size_t at = hasKey ? index_->Find(key, [this](Slot s) { return KeyOfSlot(s); }) : cJSONKeyIndex::NotFound;
  if (at == cJSONKeyIndex::NotFound) {
    return;
  }
  cJSONKeyIndex::Chain& chain = index_->ChainAt(at);
  const Slot next = slots_[slot].nextSame;
  if (chain.head == slot && next == NoSlot) {
    index_->Remove(at);
  } else if (chain.head == slot) {
    chain.head = next;
  } else {
    // Only the first entry of a key is ever erased; keep the chain whole regardless.
    Slot before = chain.head;
    while (slots_[before].nextSame != slot) {
      before = slots_[before].nextSame;
    }
    slots_[before].nextSame = next;
    chain.tail = chain.tail == slot ? before : chain.tail;
  }
}

void cJSONEntries::Clear() {
  for (Entry& entry : slots_) {
    entry.child.reset();
  }
  std::vector<Entry>().swap(slots_);
  index_.reset();
  live_ = 0;
}

void cJSONEntries::BuildIndex() const {
  index_ = std::make_unique<cJSONKeyIndex>();
  index_->Reserve(live_);
  for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot].alive) {
      IndexSlot(static_cast<Slot>(slot));
    }
  }
}

void cJSONEntries::IndexSlot(Slot slot) const {
  Entry& entry = slots_[slot];
  entry.nextSame = NoSlot;
  bool hasKey = false;
  const std::string_view key = KeyOfLine(entry.line, hasKey);
  if (!hasKey) {
    return;
  }
  cJSONKeyIndex::Chain& chain = index_->ChainAt(index_->Insert(key, [this](Slot s) { return KeyOfSlot(s); }));
  if (chain.head == NoSlot) {
    chain.head = slot;
  } else {
    slots_[chain.tail].nextSame = slot;
  }
  chain.tail = slot;
}

void cJSONEntries::Compact() const {
  if (slots_.size() == live_) {
    return;
  }
  slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [](const Entry& e) { return !e.alive; }),
               slots_.end());
  if (index_) {
    BuildIndex();
  }
}
