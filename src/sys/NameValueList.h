// An ordered list of name=value lines with its comma-text form.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Names compare ASCII-case-insensitively and the first match wins; a missing
// name reads as an empty value; setting an empty value removes the line.
class NameValueList {
public:
  NameValueList() = default;

  int Count() const { return static_cast<int>(lines_.size()); }
  bool Empty() const { return lines_.empty(); }
  const std::string& operator[](int index) const { return lines_[static_cast<std::size_t>(index)]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void Delete(int index);
  void Clear() { lines_.clear(); }

  // Index of the first line whose part before its first "=" equals `name`, or -1.
  int IndexOfName(std::string_view name) const;
  // The part before the first "=" of line `index` (the whole line when it has no "=").
  std::string NameAt(int index) const;
  // The part after the first "=" of line `index` (empty when it has no "=").
  std::string ValueAt(int index) const;

  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);

  // The comma text: lines joined by ",", quoted where needed.
  std::string CommaText() const;
  // Replaces the lines with those read from a comma text.
  void SetCommaText(std::string_view text);

private:
  std::vector<std::string> lines_;
};

// ASCII letters compare without regard to case; other bytes compare exactly.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
