// The piece-by-piece reader: every level cuts its own text into pieces again. The one-pass
// reader gives the same trees; this one stays as the reference it is checked against, and
// SplitMembers and TakeKey show the two cutting steps on their own.
#include "cJSONPieceReader.h"

#include <array>
#include <cstring>

namespace {

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
      in_double_ = in_single_ ? in_double_ : !in_double_;
    } else if (c == '\'') {
      in_single_ = in_double_ ? in_single_ : !in_single_;
    } else if (!in_double_ && !in_single_) {
      TrackDepth(c, '[', ']', brackets_);
      TrackDepth(c, '{', '}', braces_);
    }
    return c == ',' && !in_double_ && !in_single_ && brackets_ == 0 && braces_ == 0;
  }

 private:
  bool in_double_ = false;
  bool in_single_ = false;
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

void Fill(cJSON& node, std::string_view text, int depth);

// Stores one key and value as SetValue does. A bracketed or braced value that SetValue would
// read into a child becomes an empty child of the same kind instead, stored the same way, which
// is then filled by pieces: the entry and the child's name, parent and depth come out as
// SetValue makes them, and only the child's content is read here.
void Store(cJSON& node, std::string_view key, std::string_view value, int depth) {
  const bool nested = !value.empty() && depth + 1 < cJSON::MaxDepth &&
                      ((value.front() == '[' && value.back() == ']') ||
                       (value.front() == '{' && value.back() == '}'));
  if (!nested) {
    node.SetValue(key, value);
    return;
  }
  node.SetValue(key, value.front() == '[' ? "[]" : "{}");
  // An element is appended; a member lies under its key as stored, and a key that holds "=" is
  // found nowhere, its child gone with it.
  cJSON* const child =
      node.IsArray() ? node.ChildAt(node.Count() - 1) : node.FindChild(cJSON::Unquote(key), false);
  if (child != nullptr) {
    Fill(*child, value, depth + 1);
  }
}

void ReadPiece(cJSON& node, std::string_view piece, int depth) {
  if (piece.empty()) {
    return;
  }
  if (node.IsArray()) {
    Store(node, {}, piece == "null" ? std::string_view{} : piece, depth);
    return;
  }
  const std::size_t keyLength = KeyLength(piece, ":");
  const std::string_view key = cJSON::Trim(piece.substr(0, keyLength));
  if (key.empty()) {
    return;
  }
  // What follows the colon, if the key did not use up the piece.
  const std::string_view value =
      keyLength < piece.size() ? cJSON::Trim(piece.substr(keyLength + 1)) : std::string_view{};
  Store(node, key, value, depth);
}

// Reads the pieces of `text` into `node`, `depth` levels below the root. The first and last
// characters of the trimmed text are dropped unseen.
void Fill(cJSON& node, std::string_view text, int depth) {
  const std::string_view trimmed = cJSON::Trim(text);
  const std::string_view inner =
      cJSON::Trim(trimmed.size() >= 3 ? trimmed.substr(1, trimmed.size() - 2) : std::string_view{});
  if (!inner.empty()) {
    ForEachPiece(inner, [&node, depth](std::string_view piece) { ReadPiece(node, piece, depth); });
  }
}

}  // namespace

namespace cJSONPieceReader {

// An opening "[" makes an array, anything else an object.
std::unique_ptr<cJSON> ReadByPieces(std::string_view text) {
  const std::string_view trimmed = cJSON::Trim(text);
  const bool array = !trimmed.empty() && trimmed.front() == '[';
  auto root = std::make_unique<cJSON>(array ? "[]" : "{}");
  Fill(*root, trimmed, 0);
  return root;
}

std::vector<std::string> SplitMembers(std::string_view text) {
  std::vector<std::string> pieces;
  ForEachPiece(text, [&pieces](std::string_view piece) { pieces.emplace_back(piece); });
  return pieces;
}

std::string TakeKey(std::string& piece, std::string_view delimiters) {
  const std::size_t length = KeyLength(piece, delimiters);
  std::string key(cJSON::Trim(std::string_view(piece).substr(0, length)));
  piece.erase(0, length);
  return key;
}

}  // namespace cJSONPieceReader
