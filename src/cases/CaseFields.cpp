// The name=value fields of one case or need, kept in one text block.
#include "CaseFields.h"

#include <stdexcept>

#include "NameValueList.h"

namespace {

std::uint32_t Checked(std::size_t offset) {
  if (offset > UINT32_MAX) {
    throw std::length_error("CaseFields: text too long");
  }
  return static_cast<std::uint32_t>(offset);
}

}  // namespace

std::string_view CaseFields::operator[](int index) const {
  const std::size_t at = static_cast<std::size_t>(index);
  const std::uint32_t begin = at == 0 ? 0 : ends_[at - 1];
  return std::string_view(text_).substr(begin, ends_[at] - begin);
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
  const std::uint32_t end = Checked(text_.size() + name.size() + 1 + value.size());
  ends_.reserve(ends_.size() + 1);
  text_.append(name).append(1, '=').append(value);
  ends_.push_back(end);
}

bool CaseFields::Holds(std::string_view text) const {
  return !text.empty() && text.data() >= text_.data() && text.data() < text_.data() + text_.size();
}

void CaseFields::Reserve(std::size_t lines, std::size_t bytes) {
  ends_.reserve(ends_.size() + lines);
  text_.reserve(text_.size() + bytes);
}

// The line's text is rebuilt in place, and the ends after it move by the difference.
void CaseFields::Replace(int index, std::string_view name, std::string_view value) {
  const std::size_t at = static_cast<std::size_t>(index);
  const std::size_t begin = at == 0 ? 0 : ends_[at - 1];
  const std::size_t oldLength = ends_[at] - begin;
  const std::string line = std::string(name) + "=" + std::string(value);
  Checked(text_.size() - oldLength + line.size());
  text_.replace(begin, oldLength, line);
  for (std::size_t i = at; i < ends_.size(); ++i) {
    ends_[i] = static_cast<std::uint32_t>(ends_[i] - oldLength + line.size());
  }
}

void CaseFields::Erase(int index) {
  const std::size_t at = static_cast<std::size_t>(index);
  const std::size_t begin = at == 0 ? 0 : ends_[at - 1];
  const std::size_t length = ends_[at] - begin;
  text_.erase(begin, length);
  ends_.erase(ends_.begin() + index);
  for (std::size_t i = at; i < ends_.size(); ++i) {
    ends_[i] = static_cast<std::uint32_t>(ends_[i] - length);
  }
}
