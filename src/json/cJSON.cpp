// The cJSON document model: members and elements, their kinds, children and the text helpers.
#include "cJSON.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "cJSONArena.h"

using Slot = cJSONEntries::Slot;

static_assert(sizeof(cJSON) <= 64, "a big answer holds nearly a million nodes: keep them small");

namespace {

// A bare value holding one of these is a string, written quoted.
constexpr std::string_view StringMarks = "{}[] \",'\\";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Counts the digits at `pos` and notes whether any of them is not "0".
std::size_t SkipDigits(std::string_view text, std::size_t& pos, bool& nonZero) {
  const std::size_t start = pos;
  while (pos < text.size() && IsDigit(text[pos])) {
    nonZero = nonZero || text[pos] != '0';
    ++pos;
  }
  return pos - start;
}

void SkipSign(std::string_view text, std::size_t& pos) {
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    ++pos;
  }
}

// Skips an exponent, if there is one; false when its digits are missing.
bool SkipExponent(std::string_view text, std::size_t& pos) {
  if (pos == text.size() || (text[pos] != 'e' && text[pos] != 'E')) {
    return true;
  }
  ++pos;
  SkipSign(text, pos);
  bool ignored = false;
  return SkipDigits(text, pos, ignored) > 0;
}

// A decimal number other than zero, blanks around it allowed: [sign] digits ["." digits]
// [e [sign] digits], with at least one digit before the exponent. The test is on the
// digits rather than on a conversion, so it does not depend on the range of a double.
bool IsNonZeroNumber(std::string_view value) {
  const std::string_view text = cJSON::Trim(value);
  std::size_t pos = 0;
  bool nonZero = false;
  SkipSign(text, pos);
  std::size_t digits = SkipDigits(text, pos, nonZero);
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    digits += SkipDigits(text, pos, nonZero);
  }
  return digits > 0 && SkipExponent(text, pos) && pos == text.size() && nonZero;
}

// What lies between a value's enclosing quotes; the whole value when it does not end
// with the quote it begins with.
std::string_view InsideQuotes(std::string_view value) {
  if (value.back() != value.front()) {
    return value;
  }
  return value.size() >= 3 ? value.substr(1, value.size() - 2) : std::string_view{};
}

}  // namespace

// What a value text turned into: its stored text and either a kind code or a child. The
// text is a view of the value read, of a literal, or of `collapsed`; a Value is therefore
// filled where it stays and never moved.
struct cJSON::Value {
  std::string_view text;
  int kind = JSON_NULL;
  std::unique_ptr<cJSON> child;
  std::string collapsed;  // the text once backslash pairs were collapsed

  // `text` with each pair of backslashes made one, held in `collapsed` when that changes it.
  void SetCollapsed(std::string_view raw) {
    if (std::find(raw.begin(), raw.end(), '\\') == raw.end()) {
      text = raw;
      return;
    }
    collapsed = raw;
    CollapseBackslashes(collapsed);
    text = collapsed;
  }
};

cJSON::cJSON(std::string_view text, std::string_view name_, cJSON* parent_)
    : cJSON(text, name_, parent_, parent_ ? parent_->depth_ + 1 : 0) {}

cJSON::cJSON(std::string_view text, std::string_view name_, cJSON* parent_, int depth)
    : name(Trim(name_)), depth_(Depth(depth)), parent(parent_) {
  Read(text);
}

cJSON::cJSON(Unread, std::string_view name_, cJSON* parent_, bool object)
    : name(Trim(name_)), isObject(object), depth_(Depth(parent_->depth_ + 1)), parent(parent_) {}

cJSON::~cJSON() {
  // A recorded node that goes on its own must not be released again with its regions.
  if (recorded_) {
    Spoil();
  }
  ClearEntries();
}

std::unique_ptr<cJSON> cJSON::NewUnread(cJSONArena& arena, std::string_view name_, cJSON* parent_,
                                        bool object) {
  void* const storage = arena.Allocate(sizeof(cJSON));
  cJSON* node = nullptr;
  try {
    node = ::new (storage) cJSON(Unread{}, name_, parent_, object);
  } catch (...) {
    cJSONArena::Free(storage);
    throw;
  }
  node->in_arena_ = true;
  if (node->name.OnHeap()) {
    node->recorded_ = true;
    arena.Record(node);
  }
  return std::unique_ptr<cJSON>(node);
}

void cJSONChildDeleter::operator()(cJSON* child) const { delete child; }

bool IsArrayChild(const cJSON& child) { return child.IsArray(); }

// Out of line: the compiler would otherwise take the destroying delete for a mismatch.
void* cJSON::operator new(std::size_t size) { return ::operator new(size); }

void cJSON::operator delete(void* node) { ::operator delete(node); }

void cJSON::operator delete(cJSON* node, std::destroying_delete_t) {
  const bool inArena = node->in_arena_;
  node->~cJSON();
  if (inArena) {
    cJSONArena::Free(node);
  } else {
    ::operator delete(node);
  }
}

cJSON::ShortName::ShortName(std::string_view text) {
  if (text.size() < sizeof bytes_) {
    std::copy(text.begin(), text.end(), bytes_);
    bytes_[sizeof bytes_ - 1] = static_cast<char>(text.size());
    return;
  }
  if (text.size() > UINT32_MAX) {
    throw std::length_error("cJSON: name too long");
  }
  // On the heap the length goes before the characters: the pointer and the tag fill the rest.
  const auto length = static_cast<std::uint32_t>(text.size());
  char* const heap = new char[sizeof length + text.size()];
  std::memcpy(heap, &length, sizeof length);
  std::memcpy(heap + sizeof length, text.data(), text.size());
  std::memcpy(bytes_, &heap, sizeof heap);
  bytes_[sizeof bytes_ - 1] = static_cast<char>(OnHeapTag);
}

cJSON::ShortName::~ShortName() { Release(); }

void cJSON::ShortName::Release() noexcept {
  if (OnHeap()) {
    char* heap = nullptr;
    std::memcpy(&heap, bytes_, sizeof heap);
    delete[] heap;
    bytes_[sizeof bytes_ - 1] = 0;
  }
}

std::string_view cJSON::ShortName::View() const {
  const auto tag = static_cast<unsigned char>(bytes_[sizeof bytes_ - 1]);
  if (tag != OnHeapTag) {
    return {bytes_, tag};
  }
  const char* heap = nullptr;
  std::uint32_t length = 0;
  std::memcpy(&heap, bytes_, sizeof heap);
  std::memcpy(&length, heap, sizeof length);
  return {heap + sizeof length, length};
}

void cJSON::SetValue(std::string_view key, std::string_view value) {
  Spoil();
  // Storing may move this node's lines, so texts taken from them are copied first.
  if (entries.Holds(key) || entries.Holds(value)) {
    const std::string ownKey(key);
    const std::string ownValue(value);
    StoreParsed(ownKey, ownValue, nullptr);
    return;
  }
  StoreParsed(key, value, nullptr);
}

void cJSON::StoreParsed(std::string_view key, std::string_view value, std::unique_ptr<cJSON> child,
                        bool storedAbsent) {
  Value stored;
  if (value.empty()) {
    stored.text = "null";
    StoreMember(key, stored, false, storedAbsent);
    return;
  }
  // A key repeated as written (quotes included) moves its member to the end. A key stored as
  // written that finds nothing is not repeated.
  const bool asWritten = StoredKey(key).size() == key.size();
  const bool repeated =
      isObject && !(storedAbsent && asWritten) && entries.Find(key) != cJSONEntries::NoSlot;
  if (repeated) {
    RemoveMember(key);
  }
  if (child) {
    stored.text = child->isObject ? "object" : "array";
    stored.child = std::move(child);
  } else {
    Classify(key, value, stored);
  }
  StoreMember(key, stored, !repeated, storedAbsent);
}

void cJSON::Classify(std::string_view key, std::string_view value, Value& out) {
  const char first = value.front();
  const char last = value.back();
  if (first == '"' || first == '\'') {
    out.SetCollapsed(InsideQuotes(value));
    out.kind = JSON_STRING;
    return;
  }
  if ((first == '[' && last == ']') || (first == '{' && last == '}')) {
    if (depth_ + 1 >= MaxDepth) {
      out.text = value;
      out.kind = JSON_STRING;
      return;
    }
    out.text = first == '[' ? "array" : "object";
    out.child = MakeChild(value, key);
    return;
  }
  if (value == "true" || value == "false") {
    out.text = value == "true" ? "1" : "0";
    out.kind = JSON_BOOL;
    return;
  }
  if (IsNonZeroNumber(value)) {
    out.text = value;
    out.kind = JSON_NUMBER;
    return;
  }
  out.SetCollapsed(value);
  out.kind = ContainsAny(value, StringMarks) ? JSON_STRING : JSON_WORD;
}

std::unique_ptr<cJSON> cJSON::MakeChild(std::string_view text, std::string_view key) {
  Spoil();  // a child on the heap would not go with the regions
  return std::unique_ptr<cJSON>(new cJSON(text, key, this, depth_ + 1));
}

void cJSON::StoreMember(std::string_view key, Value& value, bool absent, bool storedAbsent) {
  if (!isObject) {
    entries.Append(value.text, value.kind, std::move(value.child));
    return;
  }
  // A child whose member cannot be found again (its key holds "=", or its value
  // deleted the member) is destroyed here with `value`.
  // A key that was just looked up as it stands, found nowhere, need not be looked up again.
  const std::string_view stored = StoredKey(key);
  const bool knownAbsent = storedAbsent || (absent && stored.size() == key.size());
  const Slot slot = SetLineValue(stored, value.text, knownAbsent);
  if (slot != cJSONEntries::NoSlot) {
    entries.SetTag(slot, value.kind, std::move(value.child));
  }
}

// Sets the value of `key` as a name=value list does and returns the entry that
// the key finds afterwards, if any.
Slot cJSON::SetLineValue(std::string_view key, std::string_view value, bool knownAbsent) {
  const Slot slot = knownAbsent ? cJSONEntries::NoSlot : entries.Find(key);
  if (value.empty()) {
    if (slot != cJSONEntries::NoSlot) {
      entries.Erase(slot);
    }
    return entries.Find(key);
  }
  if (slot != cJSONEntries::NoSlot) {
    entries.RewriteMember(slot, key, value);
    return slot;
  }
  const Slot added = entries.AppendMember(key, value, JSON_NULL);
  return key.find('=') == std::string_view::npos ? added : cJSONEntries::NoSlot;
}

std::string cJSON::GetValue(std::string_view key) const {
  const Slot slot = entries.Find(key);
  if (slot == cJSONEntries::NoSlot) {
    return {};
  }
  const std::string_view value = entries.ValueOf(slot);
  return value == "null" ? std::string{} : std::string(value);
}

cJSON* cJSON::GetChild(std::string_view key) { return FindChild(key, true); }

cJSON* cJSON::FindChild(std::string_view key, bool create) {
  const Slot slot = entries.Find(key);
  if (slot != cJSONEntries::NoSlot) {
    return entries.ChildOf(slot);
  }
  if (!create) {
    return nullptr;
  }
  Spoil();
  std::unique_ptr<cJSON> child = MakeChild({}, key);
  cJSON* const result = child.get();
  entries.AppendMember(key, "object", JSON_NULL, std::move(child));
  return result;
}

cJSON* cJSON::ChildAt(int index) const {
  const Slot slot = entries.SlotAt(index);
  return slot == cJSONEntries::NoSlot ? nullptr : entries.ChildOf(slot);
}

int cJSON::KindAt(int index) const {
  const Slot slot = entries.SlotAt(index);
  return slot == cJSONEntries::NoSlot ? JSON_NULL : entries.KindOf(slot);
}

int cJSON::KindOf(std::string_view key) const {
  const Slot slot = entries.Find(key);
  return slot == cJSONEntries::NoSlot ? JSON_NULL : entries.KindOf(slot);
}

void cJSON::RemoveMember(std::string_view key) {
  Spoil();
  const Slot slot = entries.Find(key);
  if (slot != cJSONEntries::NoSlot) {
    entries.Erase(slot);
  }
}

void cJSON::Clear() {
  Spoil();
  ClearEntries();
}

void cJSON::ClearEntries() {
  const std::unique_ptr<cJSONArena::Held> held = entries.TakeHeld();
  if (held == nullptr || !held->Pristine()) {
    entries.Clear();
    return;
  }
  for (cJSON* const node : held->Recorded()) {
    node->ReleaseHeapParts();
  }
  // Children that did not come from these regions (added later, or read into by another
  // reading) go one by one; the rest go with the regions.
  for (int i = 0; i < entries.Count(); ++i) {
    const Slot slot = entries.SlotAt(i);
    const cJSON* const child = entries.ChildOf(slot);
    if (child != nullptr && !(child->in_arena_ && held->Holds(child))) {
      entries.SetTag(slot, JSON_WORD);
    }
  }
  entries.ReleaseStorage();
  held->DropAll();
}

void cJSON::ReleaseHeapParts() noexcept {
  entries.ReleaseStorage();
  name.Release();
}

void cJSON::DropChildAt(int index) {
  Spoil();
  const Slot slot = entries.SlotAt(index);
  if (slot != cJSONEntries::NoSlot) {
    entries.DropChild(slot);
  }
}

std::string cJSON::StripEnclosing(std::string& text) {
  const std::string_view trimmed = Trim(text);
  const std::string first(trimmed.substr(0, 1));
  text = trimmed.size() >= 3 ? std::string(trimmed.substr(1, trimmed.size() - 2)) : std::string{};
  return first;
}

std::string cJSON::Unquote(std::string_view key) { return std::string(StoredKey(key)); }

void cJSON::CollapseBackslashes(std::string& text) {
  if (text.find('\\') == std::string::npos) {
    return;
  }
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    out.push_back(text[pos]);
    // A pair becomes its second backslash, and the walk goes on after it.
    const bool pair = text[pos] == '\\' && pos + 1 < text.size() && text[pos + 1] == '\\';
    pos += pair ? 2 : 1;
  }
  text = std::move(out);
}

bool cJSON::ContainsAny(std::string_view text, std::string_view set) {
  return text.find_first_of(set) != std::string_view::npos;
}
