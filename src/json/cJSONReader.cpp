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
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cJSON.h"
#include "cJSONArena.h"

namespace {

constexpr std::size_t None = static_cast<std::size_t>(-1);

std::atomic<std::size_t> SplitMinimum{std::size_t{1} << 20};
std::atomic<std::uint64_t> SplitsJoined{0};

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

// Searches of the stretches that decide nothing: the first position from `from` on, below `end`,
// whose character is one of a few, or `end` when there is none. SSE2 (every x86-64 has it)
// tests 16 characters at once where 16 of them can be read, that is not past `size`, the end of
// the text; the rest go one by one. The result is the same either way.
template <char... Stops>
[[gnu::always_inline]] inline std::size_t FindFirstOf(const char* text, std::size_t from,
                                                      std::size_t end, std::size_t size) {
  std::size_t at = from;
#if defined(__SSE2__)
  while (at < end && at + 16 <= size) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    __m128i hits = _mm_setzero_si128();
    ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(Stops)))), ...);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) {
      const std::size_t found = at + static_cast<std::size_t>(__builtin_ctz(mask));
      return found < end ? found : end;
    }
    at += 16;
  }
#else
  (void)size;
#endif
  for (; at < end; ++at) {
    if (((text[at] == Stops) || ...)) {
      return at;
    }
  }
  return end;
}

// The first position from `from` on, below `end`, whose character is not a blank; `end` when
// there is none.
std::size_t SkipBlanks(const char* text, std::size_t from, std::size_t end) {
  while (from < end && static_cast<unsigned char>(text[from]) <= 32) {
    ++from;
  }
  return from;
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

// A double-quoted value free of backslashes, which a new member stores without its quotes;
// `passed`: the reader already knows it holds none.
bool SimpleString(std::string_view value, bool passed) {
  return value.size() >= 3 && value.front() == '"' && value.back() == '"' &&
         (passed || FindChar(value.substr(1, value.size() - 2), '\\') == std::string_view::npos);
}

std::string_view Slice(std::string_view text, std::size_t begin, std::size_t end) {
  return text.substr(begin, end - begin);
}

// The key of a line: its part before the first "=", or all of it.
std::string_view LineKey(std::string_view line) { return line.substr(0, FindChar(line, '=')); }

// A key's hash, eight bytes at a time, each with its 0x20 bit set: keys equal but for the case
// of ASCII letters hash alike (and a few more do, which only costs a search). The length is
// stirred in first: added to the bytes' own low bits it would make "1" and "21" alike.
std::uint64_t KeyHash(std::string_view key) {
  constexpr std::uint64_t Fold = 0x2020202020202020u;
  std::uint64_t hash = key.size() * 0x9E3779B97F4A7C15u;
  std::size_t at = 0;
  for (; at + 8 <= key.size(); at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, key.data() + at, 8);
    hash = (hash ^ (word | Fold)) * 0x9E3779B97F4A7C15u;
  }
  // The last one to seven bytes without a loop, some of them twice: equal keys still give
  // equal words.
  const std::size_t rest = key.size() - at;
  const char* const tail = key.data() + at;
  if (rest >= 4) {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    std::memcpy(&low, tail, 4);
    std::memcpy(&high, tail + rest - 4, 4);
    const std::uint64_t word = low | (std::uint64_t{high} << ((rest - 4) * 8));
    hash = (hash ^ (word | Fold)) * 0x9E3779B97F4A7C15u;
  } else if (rest > 0) {
    const std::uint64_t word = std::uint64_t{static_cast<unsigned char>(tail[0])} |
                               std::uint64_t{static_cast<unsigned char>(tail[rest / 2])} << 8 |
                               std::uint64_t{static_cast<unsigned char>(tail[rest - 1])} << 16;
    hash = (hash ^ (word | Fold)) * 0x9E3779B97F4A7C15u;
  }
  return hash;
}

// Key hashes, exactly: a key whose hash is not there is no key of the set's, and two different
// keys hash alike about never, so a hash found is nearly always the key's own.
class KeyHashes {
 public:
  bool Empty() const { return table_.empty(); }
  void Clear() {
    table_.clear();
    count_ = 0;
  }
  // The keys of every line of `lines`, with room for as many again; the storage of an earlier
  // node is used again.
  void Assign(const cJSONEntries& lines) {
    std::size_t size = 16;
    while (size < static_cast<std::size_t>(lines.Count()) * 4) {
      size *= 2;
    }
    table_.assign(size, Vacant);
    count_ = 0;
    for (int i = 0; i < lines.Count(); ++i) {
      Insert(KeyHash(LineKey(lines.Line(lines.SlotAt(i)))));
    }
  }
  void Insert(std::uint64_t hash) {
    if ((count_ + 1) * 2 > table_.size()) {
      Resize(table_.size() * 2);
    }
    hash = Stored(hash);
    std::size_t at = Home(hash);
    while (table_[at] != Vacant && table_[at] != hash) {
      at = (at + 1) & (table_.size() - 1);
    }
    if (table_[at] == Vacant) {
      table_[at] = hash;
      ++count_;
    }
  }
  bool MayHold(std::uint64_t hash) const {
    hash = Stored(hash);
    for (std::size_t at = Home(hash);; at = (at + 1) & (table_.size() - 1)) {
      if (table_[at] == hash) {
        return true;
      }
      if (table_[at] == Vacant) {
        return false;
      }
    }
  }

 private:
  static constexpr std::uint64_t Vacant = 0;
  static std::uint64_t Stored(std::uint64_t hash) { return hash == Vacant ? 1 : hash; }
  // The high bits, which every byte of the key stirred.
  std::size_t Home(std::uint64_t hash) const { return (hash >> 32) & (table_.size() - 1); }
  void Resize(std::size_t size) {
    std::vector<std::uint64_t> old(size, Vacant);
    old.swap(table_);
    count_ = 0;
    for (const std::uint64_t hash : old) {
      if (hash != Vacant) {
        Insert(hash);
      }
    }
  }

  std::vector<std::uint64_t> table_;  // a power of two of places, at most half of them taken
  std::size_t count_ = 0;
};

// The keys of the lines that a node being read holds so far: most members are new, and a key
// not seen needs no search of the node's lines, which would index a big node. Keys compare
// ASCII-case-insensitively, so they are folded before hashing. Up to 16 keys go into a Bloom
// filter of 256 bits; a node with more keeps their hashes (KeyHashes), filled from its lines
// when the 17th comes, so that a node with a hundred thousand members is searched only for a key
// that it really holds again.
class KeysSeen {
 public:
  void Clear() {
    small_ = {};
    smallKeys_ = 0;
    big_.Clear();
    full_ = false;
  }
  // For a node that already held lines when the reading began: every key may be there.
  void Fill() { full_ = true; }
  // Adds the key of the next line of `lines`, which hold the keys added so far.
  void Add(std::uint64_t hash, const cJSONEntries& lines) {
    if (full_) {
      return;
    }
    if (big_.Empty()) {
      if (++smallKeys_ <= SmallKeys) {
        const auto high = static_cast<std::uint32_t>(hash >> 32);
        small_[(high >> 6) & 3] |= Bit(high);
        small_[(high >> 14) & 3] |= Bit(high >> 8);
        return;
      }
      big_.Assign(lines);
    }
    big_.Insert(hash);
  }
  bool MayHold(std::uint64_t hash) const {
    if (full_) {
      return true;
    }
    if (big_.Empty()) {
      const auto high = static_cast<std::uint32_t>(hash >> 32);
      return (small_[(high >> 6) & 3] & Bit(high)) != 0 &&
             (small_[(high >> 14) & 3] & Bit(high >> 8)) != 0;
    }
    return big_.MayHold(hash);
  }

 private:
  static constexpr std::size_t SmallKeys = 16;

  static std::uint64_t Bit(std::size_t hash) { return std::uint64_t{1} << (hash & 63); }

  std::array<std::uint64_t, 4> small_{};
  std::size_t smallKeys_ = 0;
  KeyHashes big_;
  bool full_ = false;
};

}  // namespace

// One level's reading: the node it fills, its count of quotes, brackets and braces, and the
// piece it is in. A level that reads ahead stops without finishing its last piece: only its
// parent learns where that piece ends.
class cJSON::Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

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
  // The part of Finish for an object's member once its key, value and child are known.
  // `plainKey`: the key is a double-quoted stretch passed at once; `passedValue`: the value is a
  // double-quoted stretch free of backslashes.
  void StoreMember(Level& level, std::string_view key, std::string_view value,
                   std::unique_ptr<cJSON> child, bool plainKey, bool passedValue);
  // The most common piece of an object, '"key":"value",' with blanks allowed around its parts,
  // no backslash in the key or the value and no single quote or "=" in the key, read and stored
  // at once from its opening quote at `pos`, exactly as the steps one character at a time would
  // read and store it. Returns the position of its comma, or None when the piece is not of that
  // shape (nothing is changed then).
  std::size_t TakeSimpleMember(Level& level, std::size_t pos, std::size_t limit);
  void Fit(Level& level, cJSON& node);
  // Reading a big text on two threads: Split below.
  struct Split;
  void StartSplit(std::size_t begin, std::size_t limit);
  // After a comma that ended a piece of a level one below the first, at `pos`: the helper notes
  // it; the main reading takes over the helper's nodes when the helper began there. Returns
  // where the level reads on.
  std::size_t AtCut(Level& level, std::size_t pos);
  bool TakeOver(Level& level, Split& split);
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
  // The reading on two threads this reader takes part in, if any, and whether as the helper.
  Split* split_ = nullptr;
  bool helper_ = false;
  std::unique_ptr<Split> ownSplit_;
};

// A big text read on two threads. The helper guesses where a member of a member of the root
// begins in the second half of the text: after the first "}," from about the middle on. It reads on
// from there as such a level would, in an object, with nothing open, into a node of its own. A
// guess that soon stops at a closing character lay deeper down; the helper guesses again after
// that character. Once a guess has read on far enough, the helper makes it known.
//
// The main reading waits for that at its first such level's comma from the middle on, and then
// comes to the guessed place itself. When a piece of such a level ends there, with nothing open
// and read as the helper assumed, the level's reading from there on is the helper's, up to the
// helper's last comma at that level: a level's reading depends on its node's earlier members only
// where a key is found again, and every member the helper stored was new to the helper, stored
// without the general steps, under a key the main reading's members do not hold. The main
// reading then takes the helper's members over, and reads on after that comma. Otherwise it
// reads on alone, and the helper's nodes go.
struct cJSON::Reader::Split {
  static constexpr int MaxGuesses = 8;
  static constexpr std::size_t Unsettled = None - 1;
  // How far a guess reads on before it counts as made, at most.
  static constexpr std::size_t SettleBytes = 4096;

  Split(std::string_view text, std::size_t middle, std::size_t end)
      : helper(text), from(middle), limit(end) {}
  ~Split() {
    if (thread.joinable()) {
      thread.join();
    }
  }
  Split(const Split&) = delete;
  Split& operator=(const Split&) = delete;

  // On the helper's thread: guesses and reads, and makes the guess known in any case.
  void Run();
  // The next place after "}," at or after `at`; None when there is none.
  std::size_t Guess(std::size_t at) const;
  // Reads from `guess`; true when the reading soon stopped at a closing character at `stop`.
  bool ReadGuess(std::size_t& stop);
  // Makes the place known where the helper's reading began, None for none, once only.
  void Settle(std::size_t place);
  bool FarEnough(std::size_t pos) const {
    return pos - guess >= std::min(SettleBytes, (limit - guess) / 4);
  }

  Reader helper;  // reads into regions of its own; goes last, after every node in them
  const std::size_t from;
  const std::size_t limit;
  cJSON root;  // stands for the node above the helper's
  std::unique_ptr<cJSON> node;
  std::size_t guess = None;
  std::size_t lastCut = None;  // the last comma that ended a piece of the node
  bool general = false;        // some member of the node was stored by the general steps
  bool settled = false;        // the helper's own note of `start` being set
  bool waited = false;         // the main reading's note of having waited for `start`
  std::exception_ptr error;
  std::atomic<std::size_t> start{Unsettled};
  std::thread thread;
};

std::size_t cJSON::Reader::Split::Guess(std::size_t at) const {
  const char* const text = helper.text_.data();
  for (at = std::max<std::size_t>(at, 1); at < limit; ++at) {
    if (text[at] == ',' && text[at - 1] == '}') {
      return at;
    }
  }
  return None;
}

void cJSON::Reader::Split::Settle(std::size_t place) {
  if (!settled) {
    settled = true;
    start.store(place, std::memory_order_release);
    start.notify_all();
  }
}

bool cJSON::Reader::Split::ReadGuess(std::size_t& stop) {
  node.reset();
  node.reset(new cJSON(Unread{}, {}, &root, true));
  lastCut = None;
  general = false;
  if (helper.levels_.empty()) {
    helper.Begin(0, &root, nullptr, guess);
  }
  Level& level = helper.Begin(1, node.get(), nullptr, guess + 1);
  // As read ahead by the first level, whose count shows the one brace of this node.
  level.parting[0] = None;
  level.parting[1] = 1;
  const Stop end = helper.Scan(level, guess + 1, limit);
  stop = end.pos;
  return end.closed && !FarEnough(end.pos);
}

void cJSON::Reader::Split::Run() {
  try {
    std::size_t at = from;
    for (int guesses = 0; guesses < MaxGuesses; ++guesses) {
      guess = Guess(at);
      if (guess == None) {
        break;
      }
      if (!ReadGuess(at)) {
        Settle(guess);
        return;
      }
      ++at;
    }
  } catch (...) {
    error = std::current_exception();
  }
  Settle(None);
}

cJSON::Reader::~Reader() = default;

void cJSON::Reader::StartSplit(std::size_t begin, std::size_t limit) {
  // The helper starts a little before the middle: its regions lie on huge pages where the system
  // has them, so it reads faster.
  ownSplit_ = std::make_unique<Split>(text_, begin + (limit - begin) * 9 / 20, limit);
  Split& split = *ownSplit_;
  split.helper.split_ = &split;
  split.helper.helper_ = true;
  split.helper.arena_.MapRegions();
  try {
    split.thread = std::thread([&split] { split.Run(); });
  } catch (const std::system_error&) {
    ownSplit_.reset();  // no thread to be had: read alone
    return;
  }
  split_ = &split;
}

std::size_t cJSON::Reader::AtCut(Level& level, std::size_t pos) {
  Split& split = *split_;
  if (helper_) {
    split.lastCut = pos;
    if (split.FarEnough(pos)) {
      split.Settle(split.guess);
    }
    return pos;
  }
  if (pos < split.from) {
    return pos;
  }
  if (!split.waited) {
    split.waited = true;
    split.start.wait(Split::Unsettled, std::memory_order_acquire);
  }
  if (pos != split.start.load(std::memory_order_relaxed)) {
    return pos;
  }
  split.thread.join();
  split_ = nullptr;  // one place only, so the level need not look again
  if (!TakeOver(level, split)) {
    return pos;
  }
  level.piece = Piece(split.lastCut + 1);
  return split.lastCut;
}

bool cJSON::Reader::TakeOver(Level& level, Split& split) {
  cJSON& node = *level.node;
  // The level must be what the helper took it for: read ahead by the first level, and so up to the
  // same limit, where the first level's count showed a brace and no bracket (so an object: an
  // array's own bracket would count).
  if (split.error || split.lastCut == None || split.general || level.parting[0] != None ||
      level.parting[1] != 1 || node.entries.MayHoldQuotedKeys()) {
    return false;
  }
  cJSONEntries& taken = split.node->entries;
  // Only a key that the node may hold already is searched for: a search would index the node,
  // which costs more than the check, and then every later line too.
  std::vector<std::uint64_t> hashes;
  hashes.reserve(static_cast<std::size_t>(taken.Count()));
  for (int i = 0; i < taken.Count(); ++i) {
    const std::string_view key = LineKey(taken.Line(taken.SlotAt(i)));
    const std::uint64_t hash = KeyHash(key);
    if (level.keys.MayHold(hash) && node.entries.Find(key) != cJSONEntries::NoSlot) {
      return false;
    }
    hashes.push_back(hash);
  }
  for (int i = 0; i < taken.Count(); ++i) {
    if (cJSON* const child = taken.ChildOf(taken.SlotAt(i))) {
      child->parent = &node;
    }
  }
  node.entries.AppendMembersOf(taken);
  // The level learns the new keys, so that a member after them is searched for only when its key
  // comes again.
  for (const std::uint64_t hash : hashes) {
    level.keys.Add(hash, node.entries);
  }
  arena_.Adopt(split.helper.arena_.Finish());
  SplitsJoined.fetch_add(1, std::memory_order_relaxed);
  return true;
}

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
  if (node.depth_ == 0 && limit - begin >= SplitMinimum.load(std::memory_order_relaxed)) {
    StartSplit(begin, limit);
  }
  Level& level = Begin(0, &node, nullptr, begin);
  Scan(level, begin, limit);
  Finish(level, limit);
  // A helper whose nodes were not taken over is done with before the regions are handed on.
  ownSplit_.reset();
  split_ = nullptr;
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
    if (c == '"' && object && piece.keyEnd == None && cut.Quiet() && cut.brackets == 0 &&
        cut.braces == 0) {
      const std::size_t comma = TakeSimpleMember(level, pos, limit);
      if (comma != None) {
        level.piece = Piece(comma + 1);
        pos = split_ != nullptr && level.index == 1 ? AtCut(level, comma) : comma;
        continue;
      }
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
        const std::size_t close = FindFirstOf<'"', '\\'>(text, pos + 1, limit, text_.size());
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
      const std::size_t close =
          FindFirstOf<'"', '\\', '\'', '='>(text, pos + 1, limit, text_.size());
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
      if (split_ != nullptr && level.index == 1) {
        pos = AtCut(level, pos);
      }
    } else if (object && piece.keyEnd == None) {
      TakeKeyCharacter(piece, pos);
    } else if (cut.inDouble && !cut.escaped && piece.valueStart != None) {
      // Inside a double-quoted value only a double quote or a backslash changes anything.
      pos = FindFirstOf<'"', '\\'>(text, pos + 1, limit, text_.size()) - 1;
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
  const bool plainKey = piece.plainKeyOpen != None &&
                        key.data() == text_.data() + piece.plainKeyOpen &&
                        key.size() == piece.plainKeyClose - piece.plainKeyOpen + 1;
  const bool passedValue = !value.empty() && valueAt == piece.valueStart &&
                           valueAt + value.size() - 1 == piece.plainValueClose;
  StoreMember(level, key, value, std::move(child), plainKey, passedValue);
}

void cJSON::Reader::StoreMember(Level& level, std::string_view key, std::string_view value,
                                std::unique_ptr<cJSON> child, bool plainKey, bool passedValue) {
  cJSON& node = *level.node;
  // The line stored for the member has the key as stored, up to an "=" in it.
  const std::string_view stored = StoredKey(key);
  const std::string_view lineKey = plainKey ? stored : stored.substr(0, FindChar(stored, '='));
  const std::uint64_t hash = KeyHash(lineKey);
  const bool absent = lineKey.size() == stored.size() && !level.keys.MayHold(hash);
  level.keys.Add(hash, node.entries);
  // A key stored without its quotes finds nothing as written unless some line begins with a
  // quote.
  if (absent && (stored.size() == key.size() || !node.entries.MayHoldQuotedKeys() ||
                 node.entries.Find(key) == cJSONEntries::NoSlot)) {
    // A new member with a child, or with a double-quoted value free of backslashes, is stored
    // as StoreParsed would store it, without its general steps.
    if (child) {
      const std::string_view kind = child->isObject ? "object" : "array";
      node.entries.AppendMember(stored, kind, JSON_NULL, std::move(child));
      return;
    }
    if (SimpleString(value, passedValue)) {
      node.entries.AppendMember(stored, value.substr(1, value.size() - 2), JSON_STRING);
      return;
    }
  }
  // The general steps too only add a line when the key is new, which the keys seen may not tell.
  if (helper_ && level.index == 1 &&
      !(lineKey.size() == stored.size() && (child || SimpleString(value, passedValue)) &&
        node.entries.Find(stored) == cJSONEntries::NoSlot &&
        (stored.size() == key.size() || !node.entries.MayHoldQuotedKeys() ||
         node.entries.Find(key) == cJSONEntries::NoSlot))) {
    split_->general = true;
  }
  node.StoreParsed(key, value, std::move(child), absent);
}

std::size_t cJSON::Reader::TakeSimpleMember(Level& level, std::size_t pos, std::size_t limit) {
  const char* const text = text_.data();
  const std::size_t size = text_.size();
  // The piece so far holds blanks only, so the key's own quote flags are both off.
  for (std::size_t at = level.piece.start; at < pos; ++at) {
    if (!IsBlank(text[at])) {
      return None;
    }
  }
  const std::size_t keyClose = FindFirstOf<'"', '\\', '\'', '='>(text, pos + 1, limit, size);
  if (keyClose == limit || text[keyClose] != '"') {
    return None;
  }
  const std::size_t colon = SkipBlanks(text, keyClose + 1, limit);
  if (colon == limit || text[colon] != ':') {
    return None;
  }
  const std::size_t valueOpen = SkipBlanks(text, colon + 1, limit);
  if (valueOpen == limit || text[valueOpen] != '"') {
    return None;
  }
  const std::size_t valueClose = FindFirstOf<'"', '\\'>(text, valueOpen + 1, limit, size);
  if (valueClose == limit || text[valueClose] != '"') {
    return None;
  }
  const std::size_t comma = SkipBlanks(text, valueClose + 1, limit);
  if (comma == limit || text[comma] != ',') {
    return None;
  }
  StoreMember(level, Slice(text_, pos, keyClose + 1), Slice(text_, valueOpen, valueClose + 1),
              nullptr, true, true);
  return comma;
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

std::size_t cJSON::SetSplitReadMinimum(std::size_t bytes) {
  return SplitMinimum.exchange(bytes, std::memory_order_relaxed);
}

std::uint64_t cJSON::SplitReadsJoined() { return SplitsJoined.load(std::memory_order_relaxed); }

void cJSON::ParseMembers(std::string_view inner) {
  Spoil();
  Reader(inner).ReadAll(*this, 0, inner.size());
}
