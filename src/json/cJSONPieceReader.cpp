// The piece-by-piece reader: every level cuts its own text into pieces again. The one-pass
// reader gives the same trees; this one stays as the reference it is checked against, and
// SplitMembers and TakeKey show the two cutting steps on their own.
#include <array>
#include <cstring>

#include "cJSON.h"

namespace {

// Set while a text is read by pieces, so that the children built on the way are read so too.
thread_local bool readingByPieces = false;

// An opening character deepens, a closing one rises, but never above the top.
void TrackDepth(char c, char open, char close, std::size_t& depth) {
  if (c == open) {
    ++depth;
  } else if (c == close && depth > 0) {
    --depth;
  }
}

// The characters that take part in cutting a text into pieces.
constexpr std::array<bool, 256> CutMarks = [] {
  std::array<bool, 256> marks{};
  for (const char c : std::string_view("\\\"'[]{},")) {
    marks[static_cast<unsigned char>(c)] = true;
  }
  return marks;
}();

// Follows quotes, brackets and braces through a text; only a piece's end is asked of it.
class CutTracker {
public:
  // Takes a character that is no mark: it only uses up a pending escape.
  void TakePlain() { escaped_ = false; }

  // Takes one mark; true when it is a comma that ends the current piece.
  bool EndsPiece(char c) {
    if (escaped_) {
      escaped_ = false;
    } else if (c == '\\') {
      escaped_ = true;
    } else if (c == '"') {
      inDouble_ = inSingle_ ? inDouble_ : !inDouble_;
    } else if (c == '\'') {
      inSingle_ = inDouble_ ? inSingle_ : !inSingle_;
    } else if (!inDouble_ && !inSingle_) {
      TrackDepth(c, '[', ']', brackets_);
      TrackDepth(c, '{', '}', braces_);
    }
    return c == ',' && !inDouble_ && !inSingle_ && brackets_ == 0 && braces_ == 0;
  }

private:
  bool inDouble_ = false;
  bool inSingle_ = false;
  bool escaped_ = false;
  std::size_t brackets_ = 0;
  std::size_t braces_ = 0;
};

// Calls `onPiece` with each piece of an inner text, trimmed, in order: the text is cut
// at every comma outside quotes, brackets and braces. A character after a backslash
// takes no part in that tracking, but a comma still cuts there.
template <class OnPiece>
void ForEachPiece(std::string_view text, OnPiece onPiece) {
  // Cutting happens only at commas: a text without one is a single piece, which
  // spares deeply nested levels a walk of their text each.
  if (std::memchr(text.data(), ',', text.size()) == nullptr) {
    onPiece(cJSON::Trim(text));
    return;
  }
  CutTracker tracker;
  std::size_t start = 0;
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (!CutMarks[static_cast<unsigned char>(c)]) {
      tracker.TakePlain();
    } else if (tracker.EndsPiece(c)) {
      onPiece(cJSON::Trim(text.substr(start, pos - start)));
      start = pos + 1;
    }
  }
  onPiece(cJSON::Trim(text.substr(start)));
}

// The length of the key at the front of `piece`: up to the first delimiter at which
// neither quote flag is set. A quote right after a backslash flips nothing, and the
// two flags flip independently of each other.
std::size_t KeyLength(std::string_view piece, std::string_view delimiters) {
  bool inDouble = false;
  bool inSingle = false;
  std::size_t pos = 0;
  for (; pos < piece.size(); ++pos) {
    const char c = piece[pos];
    const bool afterBackslash = pos > 0 && piece[pos - 1] == '\\';
    if (c == '"' && !afterBackslash) {
      inDouble = !inDouble;
    }
    if (c == '\'' && !afterBackslash) {
      inSingle = !inSingle;
    }
    if (!inDouble && !inSingle && delimiters.find(c) != std::string_view::npos) {
      break;
    }
  }
  return pos;
}

}  // namespace

std::unique_ptr<cJSON> cJSON::ReadByPieces(std::string_view text) {
  struct Switch {
    bool outer = readingByPieces;
    Switch() { readingByPieces = true; }
    ~Switch() { readingByPieces = outer; }
  } byPieces;
  return std::make_unique<cJSON>(text);
}

bool cJSON::ReadingByPieces() { return readingByPieces; }

// The first and last characters of the trimmed text are dropped unseen; an opening "[" makes an array.
void cJSON::ReadTextByPieces(std::string_view text) {
  const std::string_view trimmed = Trim(text);
  isObject = trimmed.empty() || trimmed.front() != '[';
  const std::string_view inner = Trim(trimmed.size() >= 3 ? trimmed.substr(1, trimmed.size() - 2) : std::string_view{});
  if (!inner.empty()) {
    ForEachPiece(inner, [this](std::string_view piece) { ReadPiece(piece); });
  }
}

void cJSON::ReadPiece(std::string_view piece) {
  if (piece.empty()) {
    return;
  }
  if (!isObject) {
    SetValue({}, piece == "null" ? std::string_view{} : piece);
    return;
  }
  const std::size_t keyLength = KeyLength(piece, ":");
  const std::string_view key = Trim(piece.substr(0, keyLength));
  if (key.empty()) {
    return;
  }
  // What follows the colon, if the key did not use up the piece.
  const std::string_view value = keyLength < piece.size() ? Trim(piece.substr(keyLength + 1)) : std::string_view{};
  SetValue(key, value);
}

std::vector<std::string> cJSON::SplitMembers(std::string_view text) {
  std::vector<std::string> pieces;
  ForEachPiece(text, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}

std::string cJSON::TakeKey(std::string& piece, std::string_view delimiters) {
  const std::size_t length = KeyLength(piece, delimiters);
  std::string key(Trim(std::string_view(piece).substr(0, length)));
  piece.erase(0, length);
  return key;
}
