// An ordered list of name=value lines with its comma-text form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Names compare ASCII-case-insensitively and the first match wins; a missing
// name reads as an empty value; setting an empty value removes the line.
class NameValueList {
 public:
  NameValueList() = default;

  int Count() const { return static_cast<int>(Materialized().size()); }
  bool Empty() const { return Materialized().empty(); }
  const std::string& operator[](int index) const {
    return Materialized()[static_cast<std::size_t>(index)];
  }
  const std::vector<std::string>& Lines() const { return Materialized(); }

  void Add(std::string line) { Materialized().push_back(std::move(line)); }
  void Delete(int index);
  void Clear();

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
  // The same, but the text is split into lines only when they are first asked for; a
  // Value lookup before that reads the text in place. For large answers of which only a
  // few names are read. A list filled this way is not to be shared between threads
  // before its first use.
  void SetCommaTextDeferred(std::string_view text);
  // Adds a piece to a deferred comma text, so a text that arrives in pieces is taken in
  // while each piece is still fresh in the cache. The text ends at its first NUL byte;
  // later pieces are ignored.
  void AppendCommaTextDeferred(std::string_view piece);

 private:
  std::vector<std::string>& Materialized() const {
    if (deferred_) Materialize();
    return lines_;
  }
  void Materialize() const;
  void NoteEqualsSigns(std::size_t from);
  bool MayHoldName(std::string_view name) const;

  mutable std::vector<std::string> lines_;
  mutable std::string deferred_text_;  // comma text not yet split into lines_
  mutable bool deferred_ = false;
  bool deferred_ended_ = false;  // a NUL byte has ended the deferred text
  // Which pairs of case-folded characters stand right before an "=" in the deferred
  // text, hashed into 1024 bits: a name whose last two characters are not among them
  // has no line there, and the text need not be read.
  std::uint64_t equals_pairs_[16] = {};
};

// ASCII letters compare without regard to case; other bytes compare exactly.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
