// The name=value fields of one case or need, kept in one text block.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The fields behave as a name=value list: names compare ASCII-case-insensitively, the
// first match wins, a missing name reads as an empty value and setting an empty value
// removes the line. A big case list holds a million of these, so the lines share one
// block of text instead of each being a string of its own.
class CaseFields {
 public:
  int Count() const { return static_cast<int>(ends_.size()); }
  // Line `index` as name "=" value; valid until the fields next change.
  std::string_view operator[](int index) const;

  // The value under `name`; empty when there is none.
  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);
  // SetValue for a name that no line has yet, without looking for it.
  void SetNewValue(std::string_view name, std::string_view value);
  // Makes room for `lines` more lines of `bytes` bytes in all, so filling the fields
  // allocates once.
  void Reserve(std::size_t lines, std::size_t bytes);

 private:
  // Index of the first line whose part before its first "=" equals `name`, or -1.
  int IndexOfName(std::string_view name) const;
  void Replace(int index, std::string_view name, std::string_view value);
  void Erase(int index);
  bool Holds(std::string_view text) const;

  std::string text_;                 // the lines one after another
  std::vector<std::uint32_t> ends_;  // where each line ends in text_
};
