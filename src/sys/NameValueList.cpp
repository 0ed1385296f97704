// An ordered list of name=value lines with its comma-text form.
#include "NameValueList.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

constexpr char kQuote = '"';
constexpr char kComma = ',';

unsigned char Code(char c) { return static_cast<unsigned char>(c); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Codes 1 to 32: skipped between lines, and they end an unquoted line.
bool IsBlank(char c) { return Code(c) >= 1 && Code(c) <= 32; }

// A line with any of these has to travel between quotes to arrive in one piece.
bool NeedsQuotes(std::string_view line) {
  for (char c : line) {
    if ((Code(c) >= 1 && Code(c) <= 32) || c == kQuote || c == kComma) return true;
  }
  return false;
}

std::string Quoted(std::string_view line) {
  std::string out;
  out.reserve(line.size() + 2);
  out += kQuote;
  for (char c : line) {
    if (c == kQuote) out += kQuote;
    out += c;
  }
  out += kQuote;
  return out;
}

// Codes 0 to 32 and the comma end an unquoted line.
struct StopTable {
  bool stop[256] = {};
  constexpr StopTable() {
    for (int c = 0; c <= 32; ++c) stop[c] = true;
    stop[static_cast<unsigned char>(kComma)] = true;
  }
};
constexpr StopTable kStops;

// One line as it stands in the text: for a quoted line, the part between the quotes,
// its doubled quotes still doubled.
struct RawLine {
  std::string_view text;
  bool quoted = false;
};

std::string Decoded(const RawLine& line) {
  if (!line.quoted || line.text.find(kQuote) == std::string_view::npos)
    return std::string(line.text);
  std::string out;
  out.reserve(line.text.size());
  for (std::size_t i = 0; i < line.text.size(); ++i) {
    out += line.text[i];
    if (line.text[i] == kQuote) ++i;  // the second quote of a doubled pair
  }
  return out;
}

// Splits comma text into lines one at a time. The text ends at its first NUL byte, as it
// does on the wire.
class CommaScanner {
 public:
  explicit CommaScanner(std::string_view text) : text_(text.substr(0, text.find('\0'))) {
    SkipBlanks();
  }

  bool Next(RawLine& line) {
    if (trailing_empty_) {
      trailing_empty_ = false;
      line = RawLine{};
      return true;
    }
    if (AtEnd()) return false;
    line = Peek() == kQuote ? QuotedLine() : PlainLine();
    SkipBlanks();
    if (!AtEnd() && Peek() == kComma) {
      trailing_empty_ = pos_ + 1 == text_.size();  // a comma that ends the text adds an empty line
      ++pos_;
      SkipBlanks();
    }
    return true;
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return text_[pos_]; }

  void SkipBlanks() {
    while (!AtEnd() && IsBlank(Peek())) ++pos_;
  }

  // Runs to the matching quote; a doubled quote stands for one. Without a closing quote
  // the rest of the text is the line, and reading stops at the end of the text.
  RawLine QuotedLine() {
    std::size_t start = ++pos_;
    for (;;) {
      std::size_t quote = text_.find(kQuote, pos_);
      if (quote == std::string_view::npos) {
        pos_ = text_.size();
        return {text_.substr(start), true};
      }
      if (quote + 1 < text_.size() && text_[quote + 1] == kQuote) {
        pos_ = quote + 2;
        continue;
      }
      pos_ = quote + 1;
      return {text_.substr(start, quote - start), true};
    }
  }

  RawLine PlainLine() {
    std::size_t start = pos_;
    while (!AtEnd() && !kStops.stop[Code(Peek())]) ++pos_;
    return {text_.substr(start, pos_ - start), false};
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool trailing_empty_ = false;
};

// The bit of `NameValueList::equals_pairs_` for two characters that stand before an "=".
unsigned PairBit(char before, char last) {
  unsigned a = Code(before) | 0x20u;
  unsigned b = Code(last) | 0x20u;
  return ((a << 5) ^ b) & 1023u;
}

// The value of the first line named `name`, read in place; false when no line has it.
bool FindValue(std::string_view text, std::string_view name, std::string& value) {
  CommaScanner scanner(text);
  RawLine raw;
  std::string decoded;
  while (scanner.Next(raw)) {
    std::string_view line = raw.text;
    if (raw.quoted && line.find(kQuote) != std::string_view::npos) {
      decoded = Decoded(raw);
      line = decoded;
    }
    std::size_t equals = line.find('=');
    if (equals != std::string_view::npos && EqualsIgnoreCase(line.substr(0, equals), name)) {
      value = std::string(line.substr(equals + 1));
      return true;
    }
  }
  return false;
}

void ReadLines(std::string_view text, std::vector<std::string>& lines) {
  CommaScanner scanner(text);
  RawLine raw;
  while (scanner.Next(raw)) lines.push_back(Decoded(raw));
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

void NameValueList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  lines_.erase(lines_.begin() + index);
}

void NameValueList::Clear() {
  lines_.clear();
  deferred_text_.clear();
  deferred_ = false;
  deferred_ended_ = false;
  std::fill(std::begin(equals_pairs_), std::end(equals_pairs_), 0);
}

void NameValueList::Materialize() const {
  deferred_ = false;
  lines_.clear();
  ReadLines(deferred_text_, lines_);
  std::string().swap(deferred_text_);
}

int NameValueList::IndexOfName(std::string_view name) const {
  Materialized();
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = lines_[static_cast<std::size_t>(i)];
    std::size_t equals = line.find('=');
    if (equals != std::string::npos &&
        EqualsIgnoreCase(std::string_view(line).substr(0, equals), name)) {
      return i;
    }
  }
  return -1;
}

std::string NameValueList::NameAt(int index) const {
  const std::string& line = (*this)[index];
  return line.substr(0, line.find('='));
}

std::string NameValueList::ValueAt(int index) const {
  const std::string& line = (*this)[index];
  std::size_t equals = line.find('=');
  return equals == std::string::npos ? std::string() : line.substr(equals + 1);
}

std::string NameValueList::Value(std::string_view name) const {
  if (deferred_) {
    std::string value;
    if (MayHoldName(name)) FindValue(deferred_text_, name, value);
    return value;
  }
  int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueAt(index);
}

void NameValueList::SetValue(std::string_view name, std::string_view value) {
  Materialized();
  int index = IndexOfName(name);
  if (value.empty()) {
    Delete(index);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (index < 0) {
    lines_.push_back(std::move(line));
  } else {
    lines_[static_cast<std::size_t>(index)] = std::move(line);
  }
}

std::string NameValueList::CommaText() const {
  Materialized();
  if (lines_.size() == 1 && lines_.front().empty()) return "\"\"";
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text += kComma;
    text += NeedsQuotes(lines_[i]) ? Quoted(lines_[i]) : lines_[i];
  }
  return text;
}

void NameValueList::SetCommaText(std::string_view text) {
  Clear();
  ReadLines(text, lines_);
}

void NameValueList::SetCommaTextDeferred(std::string_view text) {
  Clear();
  deferred_ = true;
  AppendCommaTextDeferred(text);
}

void NameValueList::AppendCommaTextDeferred(std::string_view piece) {
  if (!deferred_ || deferred_ended_) return;
  std::size_t nul = piece.find('\0');
  deferred_ended_ = nul != std::string_view::npos;
  std::size_t from = deferred_text_.size();
  deferred_text_.append(piece.substr(0, nul));
  NoteEqualsSigns(from);
}

void NameValueList::NoteEqualsSigns(std::size_t from) {
  const char* text = deferred_text_.data();
  const char* end = text + deferred_text_.size();
  const char* at = text + std::max<std::size_t>(from, 2);
  while (at < end) {
    const void* found = std::memchr(at, '=', static_cast<std::size_t>(end - at));
    if (found == nullptr) break;
    at = static_cast<const char*>(found);
    unsigned bit = PairBit(at[-2], at[-1]);
    equals_pairs_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    ++at;
  }
}

// A line named `name` shows the name and "=" side by side in the text (a quoted line
// doubles only quotes, and a name without one stands as it is), so its last two
// characters are among the pairs noted before each "=".
bool NameValueList::MayHoldName(std::string_view name) const {
  if (name.size() < 2 || name.find(kQuote) != std::string_view::npos) return true;
  unsigned bit = PairBit(name[name.size() - 2], name.back());
  return (equals_pairs_[bit / 64] >> (bit % 64)) & 1u;
}
