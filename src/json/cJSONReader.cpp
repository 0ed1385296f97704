// The lenient cJSON reader: any text becomes some tree, read in one pass over the text.
//
// Every level of the dialect cuts its own inner text into pieces, with its own count of
// quotes, brackets and braces started afresh. Read naively, each level walks the text of
// all levels below it again. Here a level reads a nested value ahead, as a child, at the
// moment its opening character comes along: while the child reads, the parent's count is
// the child's plus what the parent had counted at the opening, so the parent need not look
// at those characters at all. The child stops at the first closing character that it does
// not count itself but the parent does (its own closing character, in a well-formed text);
// the parent takes over there. When the rest of the parent's piece then shows that the
// value did not end there after all, the child is read again from its real text, which only
// happens in texts whose closing characters stand elsewhere than in a well-formed text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "cJSON.h"
#include "cJSONArena.h"

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

// Keys and values are short: a plain loop finds a character there sooner than a library call.
std::size_t FindChar(std::string_view text, char c) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == c) {
      return i;
    }
  }
  return std::string_view::npos;
}

// The characters that take part in cutting a text into pieces.
constexpr std::array<bool, 256> CutMarks = [] {
  std::array<bool, 256> marks{};
  for (const char c : std::string_view("\\\"'[]{},")) {
    marks[static_cast<unsigned char>(c)] = true;
  }
  return marks;
}();

// Characters that change nothing where a piece's key or value is under way, except that they
// end what a backslash began: neither cutting marks nor the colon that ends a key.
constexpr std::array<bool, 256> PlainMarks = [] {
  std::array<bool, 256> plain{};
  for (int c = 0; c < 256; ++c) {
    plain[static_cast<std::size_t>(c)] = !CutMarks[static_cast<std::size_t>(c)] && c != ':';
  }
  return plain;
}();

bool IsPlain(char c) { return PlainMarks[static_cast<unsigned char>(c)]; }

// Characters that end a double-quoted key's fast passage: its closing quote, the two that make
// the key's own quote flags differ from the cutting ones, and "=", which splits a stored line.
constexpr std::array<bool, 256> KeyQuoteStops = [] {
  std::array<bool, 256> stops{};
  for (const char c : std::string_view("\"\\'=")) {
    stops[static_cast<unsigned char>(c)] = true;
  }
  return stops;
}();

// An opening character deepens, a closing one rises, but never above the top.
void TrackDepth(char c, char open, char close, std::uint32_t& depth) {
  if (c == open) {
    ++depth;
  } else if (c == close && depth > 0) {
    --depth;
  }
}

// Follows quotes, brackets and braces through the text of one level. A character after a
// backslash takes no part in the tracking, but a comma still cuts there.
struct CutState {
  bool inDouble = false;
  bool inSingle = false;
  bool escaped = false;
  std::uint32_t brackets = 0;
  std::uint32_t braces = 0;

  // Neither in quotes nor after a backslash: the next character counts as what it is.
  bool Quiet() const { return !inDouble && !inSingle && !escaped; }

  // Takes one character; true when it is a comma that ends the current piece.
  bool Take(char c) {
    if (!CutMarks[static_cast<unsigned char>(c)]) {
      escaped = false;
      return false;
    }
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      inDouble = inSingle ? inDouble : !inDouble;
    } else if (c == '\'') {
      inSingle = inDouble ? inSingle : !inSingle;
    } else if (!inDouble && !inSingle) {
      TrackDepth(c, '[', ']', brackets);
      TrackDepth(c, '{', '}', braces);
    }
    return c == ',' && !inDouble && !inSingle && brackets == 0 && braces == 0;
  }
};

// What the parent of a child that reads ahead had counted once it took the child's opening
// character; the child's own counts start at 0 there.
struct Outer {
  std::uint32_t brackets;
  std::uint32_t braces;
};

// Where a level stopped reading: at its limit, or at a closing character after which its
// count and its parent's no longer go together; and its count there. `parting` is the level
// that parts from its parent there: the one that stopped or one above it, all of whose
// counts of that kind stood at 0 down to the one that stopped.
struct Stop {
  std::size_t pos;
  bool closed;
  CutState state;
  std::size_t parting;
};

std::string_view Slice(std::string_view text, std::size_t begin, std::size_t end) {
  return text.substr(begin, end - begin);
}

// The keys of the lines that a node being read holds so far, as a small Bloom filter: most
// members are new, and a key the filter has not seen needs no search of the node's lines.
// Keys compare ASCII-case-insensitively, so they are folded before hashing.
class KeysSeen {
 public:
  void Clear() { bits_ = {}; }
  // For a node that already held lines when the reading began: every key may be there.
  void Fill() { bits_.fill(~std::uint64_t{0}); }
  // Eight bytes at a time, each with its 0x20 bit set: keys equal but for the case of ASCII
  // letters hash alike (and a few more do, which only costs a search).
  static std::uint32_t Hash(std::string_view key) {
    constexpr std::uint64_t Fold = 0x2020202020202020u;
    std::uint64_t hash = key.size();
    std::size_t at = 0;
    for (; at + 8 <= key.size(); at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, key.data() + at, 8);
      hash = (hash ^ (word | Fold)) * 0x9E3779B97F4A7C15u;
    }
    if (at < key.size()) {
      std::uint64_t word = 0;
      for (std::size_t shift = 0; at < key.size(); ++at, shift += 8) {
        word |= std::uint64_t{static_cast<unsigned char>(key[at])} << shift;
      }
      hash = (hash ^ (word | Fold)) * 0x9E3779B97F4A7C15u;
    }
    return static_cast<std::uint32_t>(hash >> 32);
  }
  void Add(std::uint32_t hash) {
    bits_[(hash >> 6) & 3] |= Bit(hash);
    bits_[(hash >> 14) & 3] |= Bit(hash >> 8);
  }
  bool MayHold(std::uint32_t hash) const {
    return (bits_[(hash >> 6) & 3] & Bit(hash)) != 0 &&
           (bits_[(hash >> 14) & 3] & Bit(hash >> 8)) != 0;
  }

 private:
  static std::uint64_t Bit(std::uint32_t hash) { return std::uint64_t{1} << (hash & 63); }

  std::array<std::uint64_t, 4> bits_{};
};

}  // namespace

// One level's reading: the node it fills, its count of quotes, brackets and braces, and the
// piece it is in. A level that reads ahead stops without finishing its last piece: only its
// parent learns where that piece ends.
class cJSON::Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  // Reads the whole of text[begin, limit) into `node`.
  void ReadAll(cJSON& node, std::size_t begin, std::size_t limit);

 private:
  struct Piece {
    explicit Piece(std::size_t at) : start(at) {}
    std::size_t start;
    std::size_t keyEnd = None;  // the colon after the key, objects only
    bool keyDouble = false;     // the key's own quote flags, which differ from the cutting ones
    bool keySingle = false;
    std::size_t valueStart = None;
    bool ahead = false;        // the value is being read ahead by the next level
    bool aheadClosed = false;  // ... which stopped at a closing character
    std::size_t aheadStop = None;
    // Double-quoted stretches passed at once: a key's, free of "=" and backslashes, from its
    // opening quote; and the closing quote of a value free of backslashes from valueStart on.
    std::size_t plainKeyOpen = None;
    std::size_t plainKeyClose = None;
    std::size_t plainValueClose = None;
  };

  struct Level {
    cJSON* node = nullptr;
    std::unique_ptr<cJSON> owned;  // a child not yet handed to its parent
    std::size_t index = 0;         // levels below the one this read began with
    CutState cut;
    Piece piece{0};
    // While reading ahead: for "]" and "}", the level that parts from its parent when this
    // level's count of that kind is 0 and such a character comes; None when none does.
    std::size_t parting[2] = {None, None};
    // The storage a node below the first fills while it is read, kept from node to node of
    // this depth; each node then gets one block of exactly its size.
    cJSONEntries scratch;
    KeysSeen keys;  // of the node being read
  };

  Level& Begin(std::size_t index, cJSON* node, std::unique_ptr<cJSON> owned, std::size_t start);
  Stop Scan(Level& level, std::size_t from, std::size_t limit);
  void TakeKeyCharacter(Piece& piece, std::size_t pos) const;
  bool ReadAhead(Level& level, std::size_t& pos, std::size_t limit, Stop& stop);
  void Finish(Level& level, std::size_t end);
  void Fit(Level& level, cJSON& node);
  std::unique_ptr<cJSON> ChildFor(Level& level, std::string_view key, std::string_view value,
                                  std::size_t valueAt);
  std::string_view KeyOf(const Piece& piece) const {
    return Trim(Slice(text_, piece.start, piece.keyEnd));
  }

  std::string_view text_;
  // Where the nodes below the first and their entries are put.
  cJSONArena arena_;
  // One level per depth below the first: a level has at most one child read ahead at a
  // time, so each depth's level is used again for the next value there.
  std::vector<std::unique_ptr<Level>> levels_;
};

cJSON::Reader::Level& cJSON::Reader::Begin(std::size_t index, cJSON* node,
                                           std::unique_ptr<cJSON> owned, std::size_t start) {
  if (index == levels_.size()) {
    levels_.push_back(std::make_unique<Level>());
  }
  Level& level = *levels_[index];
  level.owned = std::move(owned);
  level.node = node;
  level.index = index;
  level.cut = CutState{};
  level.piece = Piece(start);
  level.parting[0] = level.parting[1] = None;
  if (index > 0) {
    node->entries.Swap(level.scratch);
  }
  if (node->Count() == 0) {
    level.keys.Clear();
  } else {
    level.keys.Fill();
  }
  return level;
}

// The node read at a level below the first moves out of the level's storage into its own.
void cJSON::Reader::Fit(Level& level, cJSON& node) {
  level.scratch.Swap(node.entries);
  node.entries.TakeFitted(level.scratch, &arena_);
  if (node.entries.HasHeapStorage() && !node.recorded_) {
    node.recorded_ = true;
    arena_.Record(&node);
  }
}

void cJSON::Reader::ReadAll(cJSON& node, std::size_t begin, std::size_t limit) {
  Level& level = Begin(0, &node, nullptr, begin);
  Scan(level, begin, limit);
  Finish(level, limit);
  node.entries.ShrinkToFit();
  node.entries.Hold(arena_.Finish());
}

// The key ends at the first colon outside quotes; a quote right after a backslash flips
// nothing, and the two quote flags flip independently of each other.
inline void cJSON::Reader::TakeKeyCharacter(Piece& piece, std::size_t pos) const {
  const char c = text_[pos];
  const bool afterBackslash = pos > piece.start && text_[pos - 1] == '\\';
  if (c == '"' && !afterBackslash) {
    piece.keyDouble = !piece.keyDouble;
  } else if (c == '\'' && !afterBackslash) {
    piece.keySingle = !piece.keySingle;
  } else if (c == ':' && !piece.keyDouble && !piece.keySingle) {
    piece.keyEnd = pos;
  }
}

// Reads from `from` on, up to `limit` or, while reading ahead, up to the first closing
// character that the parent counts and this level does not. The last piece stays open.
Stop cJSON::Reader::Scan(Level& level, std::size_t from, std::size_t limit) {
  cJSON& node = *level.node;
  const bool object = node.isObject;
  const bool mayNest = node.depth_ + 1 < MaxDepth;
  const char* const text = text_.data();
  // The count is kept here, where it can stay in registers, and handed back to the level
  // whenever another step may look at it.
  CutState cut = level.cut;
  const auto stopAt = [&level, &cut](std::size_t pos, bool closed, std::size_t parting) {
    level.cut = cut;
    return Stop{pos, closed, cut, parting};
  };
  for (std::size_t pos = from; pos < limit; ++pos) {
    const char c = text[pos];
    Piece& piece = level.piece;
    // Within a key, or once the value has begun, a run of plain characters is passed at once.
    if (IsPlain(c) && (piece.valueStart != None || (object && piece.keyEnd == None))) {
      cut.escaped = false;
      while (pos + 1 < limit && IsPlain(text[pos + 1])) {
        ++pos;
      }
      continue;
    }
    if ((c == ']' || c == '}') && cut.Quiet()) {
      const bool bracket = c == ']';
      const std::size_t parting = level.parting[bracket ? 0 : 1];
      if ((bracket ? cut.brackets : cut.braces) == 0 && parting != None) {
        return stopAt(pos, true, parting);
      }
    }
    if (piece.valueStart == None && (!object || piece.keyEnd != None) && !IsBlank(c)) {
      piece.valueStart = pos;
      if (c == '"' && cut.Quiet()) {
        // A double-quoted value without backslashes leaves the count as it found it.
        std::size_t close = pos + 1;
        while (close < limit && text[close] != '"' && text[close] != '\\') {
          ++close;
        }
        if (close < limit && text[close] == '"') {
          piece.plainValueClose = close;
          pos = close;
          continue;
        }
      }
      if ((c == '[' || c == '{') && mayNest && cut.Quiet()) {
        cut.Take(c);
        level.cut = cut;
        Stop stop{};
        const bool stops = ReadAhead(level, pos, limit, stop);
        cut = level.cut;
        if (stops) {
          return stop;
        }
        continue;
      }
    }
    if (c == '"' && object && piece.keyEnd == None && cut.Quiet() && !piece.keyDouble &&
        !(pos > piece.start && text[pos - 1] == '\\')) {
      // A double-quoted stretch of a key without backslashes or single quotes, opened where the
      // key's own flags open it too, holds no colon that ends the key and changes no flag of
      // either kind once its closing quote is taken: it is passed at once.
      std::size_t close = pos + 1;
      while (close < limit && !KeyQuoteStops[static_cast<unsigned char>(text[close])]) {
        ++close;
      }
      if (close < limit && text[close] == '"') {
        piece.plainKeyOpen = pos;
        piece.plainKeyClose = close;
        pos = close;
        continue;
      }
    }
    if (cut.Take(c)) {
      Finish(level, pos);
      level.piece = Piece(pos + 1);
    } else if (object && piece.keyEnd == None) {
      TakeKeyCharacter(piece, pos);
    } else if (cut.inDouble && !cut.escaped && piece.valueStart != None) {
      // Inside a double-quoted value only a double quote or a backslash changes anything.
      while (pos + 1 < limit && text[pos + 1] != '"' && text[pos + 1] != '\\') {
        ++pos;
      }
    }
  }
  return stopAt(limit, false, None);
}

// Reads the value opening at `pos` as a child, its opening character already counted by
// the level. Moves `pos` to the last position the child used up and leaves the level's count
// there; true when the level has to stop there too, with `stop` saying where and why.
bool cJSON::Reader::ReadAhead(Level& level, std::size_t& pos, std::size_t limit, Stop& stop) {
  cJSON& node = *level.node;
  const std::string_view key = node.isObject ? KeyOf(level.piece) : std::string_view{};
  std::unique_ptr<cJSON> child = NewUnread(arena_, key, &node, text_[pos] == '{');
  cJSON* const childNode = child.get();
  Level& ahead = Begin(level.index + 1, childNode, std::move(child), pos + 1);
  const Outer outer{level.cut.brackets, level.cut.braces};
  ahead.parting[0] = outer.brackets > 0 ? ahead.index : level.parting[0];
  ahead.parting[1] = outer.braces > 0 ? ahead.index : level.parting[1];
  const Stop aheadStop = Scan(ahead, pos + 1, limit);
  CutState& cut = level.cut;
  cut = aheadStop.state;
  cut.brackets += outer.brackets;
  cut.braces += outer.braces;
  level.piece.ahead = true;
  level.piece.aheadClosed = aheadStop.closed;
  level.piece.aheadStop = aheadStop.pos;
  if (!aheadStop.closed) {
    pos = limit - 1;
    return false;
  }
  pos = aheadStop.pos;
  if (aheadStop.parting <= level.index) {
    stop = Stop{pos, true, cut, aheadStop.parting};
    return true;
  }
  // The child counted nothing of this kind, so the level's count falls by one.
  if (text_[pos] == ']') {
    --cut.brackets;
  } else {
    --cut.braces;
  }
  return false;
}

// Stores the level's current piece, ending at `end`, in its node as SetValue stores a key
// and a value.
void cJSON::Reader::Finish(Level& level, std::size_t end) {
  const Piece& piece = level.piece;
  std::size_t begin = piece.start;
  while (begin < end && IsBlank(text_[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text_[end - 1])) {
    --end;
  }
  if (begin == end) {
    return;
  }
  cJSON& node = *level.node;
  std::string_view key;
  std::string_view value;
  std::size_t valueAt = begin;
  if (!node.isObject) {
    value = Slice(text_, begin, end);
    value = value == "null" ? std::string_view{} : value;
  } else if (piece.keyEnd == None) {
    key = Slice(text_, begin, end);
  } else {
    key = KeyOf(piece);
    if (key.empty()) {
      return;
    }
    value = Trim(Slice(text_, piece.keyEnd + 1, end));
    valueAt = piece.valueStart;
  }
  std::unique_ptr<cJSON> child = ChildFor(level, key, value, valueAt);
  if (!node.isObject) {
    node.StoreParsed(key, value, std::move(child));
    return;
  }
  // The line stored for the member has the key as stored, up to an "=" in it.
  const std::string_view stored = StoredKey(key);
  const bool plainKey = piece.plainKeyOpen != None &&
                        key.data() == text_.data() + piece.plainKeyOpen &&
                        key.size() == piece.plainKeyClose - piece.plainKeyOpen + 1;
  const std::string_view lineKey = plainKey ? stored : stored.substr(0, FindChar(stored, '='));
  const std::uint32_t hash = KeysSeen::Hash(lineKey);
  const bool absent = lineKey.size() == stored.size() && !level.keys.MayHold(hash);
  level.keys.Add(hash);
  if (absent && (stored.size() == key.size() || node.entries.Find(key) == cJSONEntries::NoSlot)) {
    // A new member with a child, or with a double-quoted value free of backslashes, is stored
    // as StoreParsed would store it, without its general steps.
    if (child) {
      const std::string_view kind = child->isObject ? "object" : "array";
      node.entries.AppendMember(stored, kind, JSON_NULL, std::move(child));
      return;
    }
    if (value.size() >= 3 && value.front() == '"' && value.back() == '"') {
      const std::string_view inside = value.substr(1, value.size() - 2);
      const bool passed =
          valueAt == piece.valueStart && valueAt + value.size() - 1 == piece.plainValueClose;
      if (passed || FindChar(inside, '\\') == std::string_view::npos) {
        node.entries.AppendMember(stored, inside, JSON_STRING);
        return;
      }
    }
  }
  node.StoreParsed(key, value, std::move(child), absent);
}

// The child a bracketed or braced value reads as, none for any other value. The child read
// ahead ends its last piece where the value ends, reading on first if it stopped short.
std::unique_ptr<cJSON> cJSON::Reader::ChildFor(Level& level, std::string_view key,
                                               std::string_view value, std::size_t valueAt) {
  cJSON& node = *level.node;
  if (value.empty() || node.depth_ + 1 >= MaxDepth ||
      !((value.front() == '[' && value.back() == ']') ||
        (value.front() == '{' && value.back() == '}'))) {
    return nullptr;
  }
  const std::size_t lastAt = valueAt + value.size() - 1;
  const Piece& piece = level.piece;
  if (!piece.ahead) {
    // The value opened inside the level's quotes: read it from its own text.
    std::unique_ptr<cJSON> child = NewUnread(arena_, key, &node, value.front() == '{');
    Level& fresh = Begin(level.index + 1, child.get(), nullptr, valueAt + 1);
    Scan(fresh, valueAt + 1, lastAt);
    Finish(fresh, lastAt);
    Fit(fresh, *child);
    return child;
  }
  Level& ahead = *levels_[level.index + 1];
  if (piece.aheadClosed && piece.aheadStop < lastAt) {
    ahead.parting[0] = ahead.parting[1] = None;
    Scan(ahead, piece.aheadStop, lastAt);
  }
  Finish(ahead, lastAt);
  Fit(ahead, *ahead.owned);
  return std::move(ahead.owned);
}

void cJSON::Parse(std::string_view text) {
  Clear();  // spoils the document this node lies in, if any
  Read(text);
}

// The first and last characters of the trimmed text are dropped unseen; an opening "[" makes an
// array.
void cJSON::Read(std::string_view text) {
  const std::string_view trimmed = Trim(text);
  isObject = trimmed.empty() || trimmed.front() != '[';
  if (trimmed.size() >= 3) {
    Reader(trimmed).ReadAll(*this, 1, trimmed.size() - 1);
  }
}

void cJSON::ParseMembers(std::string_view inner) {
  Spoil();
  Reader(inner).ReadAll(*this, 0, inner.size());
}
