// The name=value fields of one case or need, kept in one block.
#include "CaseFields.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "NameValueList.h"

namespace {

std::uint32_t Checked(std::size_t offset) {
  if (offset > UINT32_MAX) {
    throw std::length_error("CaseFields: text too long");
  }
  return static_cast<std::uint32_t>(offset);
}

}  // namespace

CaseFields::CaseFields(const CaseFields& other) {
  if (other.block_ != nullptr) {
    Regrow(other.block_->count, other.block_->used);
    std::memcpy(Ends(), other.Ends(), sizeof(std::uint32_t) * other.block_->count);
    std::memcpy(Text(), other.Text(), other.block_->used);
    block_->count = other.block_->count;
    block_->used = other.block_->used;
  }
}

CaseFields& CaseFields::operator=(const CaseFields& other) {
  if (this != &other) {
    CaseFields copy(other);
    std::swap(block_, copy.block_);
  }
  return *this;
}

CaseFields& CaseFields::operator=(CaseFields&& other) noexcept {
  std::swap(block_, other.block_);
  return *this;
}

CaseFields::~CaseFields() { ::operator delete(block_); }

std::string_view CaseFields::operator[](int index) const {
  const std::size_t at = static_cast<std::size_t>(index);
  const std::uint32_t* const ends = Ends();
  const std::uint32_t begin = at == 0 ? 0 : ends[at - 1];
  return {Text() + begin, ends[at] - begin};
}

void CaseFields::Regrow(std::size_t lines, std::size_t bytes) {
  const std::uint32_t lineRoom = Checked(lines);
  const std::uint32_t textRoom = Checked(bytes);
  auto* const grown = static_cast<Block*>(
      ::operator new(sizeof(Block) + sizeof(std::uint32_t) * lineRoom + textRoom));
  *grown = Block{0, lineRoom, 0, textRoom};
  if (block_ != nullptr) {
    grown->count = block_->count;
    grown->used = block_->used;
    std::memcpy(grown + 1, Ends(), sizeof(std::uint32_t) * block_->count);
    std::memcpy(reinterpret_cast<std::uint32_t*>(grown + 1) + lineRoom, Text(), block_->used);
    ::operator delete(block_);
  }
  block_ = grown;
}

// Growth stops at what a block can count; only the room needed must fit, or Regrow throws.
void CaseFields::MakeRoom(std::size_t lines, std::size_t bytes) {
  if (Fits(lines, bytes)) return;
  const Block& header = Header();
  constexpr std::size_t Most = UINT32_MAX;
  Regrow(std::max<std::size_t>(header.count + lines,
                               std::min<std::size_t>(header.lineRoom + header.lineRoom / 2, Most)),
         std::max<std::size_t>(header.used + bytes,
                               std::min<std::size_t>(header.textRoom + header.textRoom / 2, Most)));
}

int CaseFields::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string_view line = (*this)[i];
    const std::size_t equals = line.find('=');
    if (equals != std::string_view::npos && EqualsIgnoreCase(line.substr(0, equals), name)) {
      return i;
    }
  }
  return -1;
}

std::string CaseFields::Value(std::string_view name) const {
  const int index = IndexOfName(name);
  if (index < 0) return {};
  const std::string_view line = (*this)[index];
  return std::string(line.substr(line.find('=') + 1));
}

void CaseFields::SetValue(std::string_view name, std::string_view value) {
  // Growing the block would move texts taken from it, so those are copied first.
  if (Holds(name) || Holds(value)) {
    SetValue(std::string(name), std::string(value));
    return;
  }
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Erase(index);
    return;
  }
  if (index >= 0) {
    Replace(index, name, value);
    return;
  }
  SetNewValue(name, value);
}

void CaseFields::SetNewValue(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  if (Holds(name) || Holds(value)) {
    SetNewValue(std::string(name), std::string(value));
    return;
  }
  const std::size_t length = name.size() + 1 + value.size();
  MakeRoom(1, length);
  char* const out = Text() + block_->used;
  std::memcpy(out, name.data(), name.size());
  out[name.size()] = '=';
  std::memcpy(out + name.size() + 1, value.data(), value.size());
  block_->used += static_cast<std::uint32_t>(length);
  Ends()[block_->count++] = block_->used;
}

bool CaseFields::Holds(std::string_view text) const {
  return block_ != nullptr && !text.empty() && text.data() >= Text() &&
         text.data() < Text() + block_->used;
}

void CaseFields::Reserve(std::size_t lines, std::size_t bytes) {
  if (!Fits(lines, bytes)) Regrow(Header().count + lines, Header().used + bytes);
}

void CaseFields::AssignLines(std::size_t count, const std::uint32_t* ends, std::string_view text) {
  if (count == 0) return;
  Regrow(count, text.size());
  std::memcpy(Ends(), ends, sizeof(std::uint32_t) * count);
  std::memcpy(Text(), text.data(), text.size());
  block_->count = static_cast<std::uint32_t>(count);
  block_->used = static_cast<std::uint32_t>(text.size());
}

// The line's text is rebuilt in place, the text after it moved, and the ends after it move by
// the difference.
void CaseFields::Replace(int index, std::string_view name, std::string_view value) {
  const std::size_t at = static_cast<std::size_t>(index);
  const std::size_t begin = at == 0 ? 0 : Ends()[at - 1];
  const std::size_t oldLength = Ends()[at] - begin;
  const std::size_t length = name.size() + 1 + value.size();
  if (length > oldLength) MakeRoom(0, length - oldLength);
  char* const text = Text();
  std::memmove(text + begin + length, text + begin + oldLength, block_->used - begin - oldLength);
  std::memcpy(text + begin, name.data(), name.size());
  text[begin + name.size()] = '=';
  std::memcpy(text + begin + name.size() + 1, value.data(), value.size());
  block_->used = static_cast<std::uint32_t>(block_->used - oldLength + length);
  std::uint32_t* const ends = Ends();
  for (std::size_t i = at; i < block_->count; ++i) {
    ends[i] = static_cast<std::uint32_t>(ends[i] - oldLength + length);
  }
}

void CaseFields::Erase(int index) {
  const std::size_t at = static_cast<std::size_t>(index);
  std::uint32_t* const ends = Ends();
  const std::size_t begin = at == 0 ? 0 : ends[at - 1];
  const std::size_t length = ends[at] - begin;
  char* const text = Text();
  std::memmove(text + begin, text + begin + length, block_->used - begin - length);
  block_->used = static_cast<std::uint32_t>(block_->used - length);
  --block_->count;
  for (std::size_t i = at; i < block_->count; ++i) {
    ends[i] = static_cast<std::uint32_t>(ends[i + 1] - length);
  }
}
