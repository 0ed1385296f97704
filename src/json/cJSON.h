// A node of a JSON document in the function server's dialect: the tree, its lenient reader and
// compact writer.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "cJSONArena.h"
#include "cJSONChild.h"
#include "cJSONEntries.h"

// An object (members under keys, in order) or an array (elements in order).
// Scalars are stored as texts with a kind code; only nested objects and arrays
// are nodes. A node owns its children; callers own only the roots they build.
// Nothing here reports an error: every text yields some tree. One thread at a
// time per document: even const calls may tidy the entry lists' caches.
class cJSON {
 public:
  // Nodes read from a text nest at most this many levels, the root counting as
  // the first. A bracketed or braced value that would open a deeper level is
  // kept as a JSON_STRING holding its text as written, so a hostile text cannot
  // exhaust the stack. Each level walks its own text once, so the limit also
  // bounds the reading work per byte; a case list answer nests six levels.
  static constexpr int MaxDepth = 128;

  // Reads `text` into a new node: an array when the trimmed text begins with "[",
  // an object otherwise. `name` is stored trimmed; `parent` does not own the node.
  explicit cJSON(std::string_view text = {}, std::string_view name = {}, cJSON* parent = nullptr);
  ~cJSON();
  cJSON(const cJSON&) = delete;
  cJSON& operator=(const cJSON&) = delete;

  // The nodes below a node that was read lie in storage of the reading (cJSONArena), the rest
  // on the heap; deleting a node gives its storage back to wherever it came from.
  static void* operator new(std::size_t size);
  static void operator delete(void* node);  // a constructor that throws
  static void operator delete(cJSON* node, std::destroying_delete_t);

  // --- the document model ---

  // Adds or replaces a member of an object, or appends an element to an array;
  // the value's text decides its kind (quoted, bracketed, braced, true/false,
  // a non-zero number, or a bare word).
  void SetValue(std::string_view key, std::string_view value);
  // The member's value text; empty when absent or when the stored text is "null".
  std::string GetValue(std::string_view key) const;
  // FindChild(key, true).
  cJSON* GetChild(std::string_view key);
  // The child under `key`; none for a scalar member. An absent key yields none,
  // or with `create` a new empty object member appended at the end. The child
  // belongs to this node.
  cJSON* FindChild(std::string_view key, bool create);
  int Count() const { return entries.Count(); }
  const cJSONEntries& Items() const { return entries; }
  bool IsArray() const { return !isObject; }
  // The child that entry `index` holds; none for a scalar entry or an index out of range.
  cJSON* ChildAt(int index) const;
  // The kind code of entry `index`; JSON_NULL for an index out of range.
  int KindAt(int index) const;
  // The kind code of the first member under `key`; JSON_NULL when there is none.
  int KindOf(std::string_view key) const;
  // Deletes the first member under `key` with its child; nothing when absent.
  void RemoveMember(std::string_view key);
  // Destroys every child and empties the node.
  void Clear();
  // Destroys the child that entry `index` holds, so that a walk that is done with it gives its
  // memory back before the document goes. The entry stays, as the word its line holds
  // ("object" or "array"); nothing happens for a scalar entry or an index out of range.
  // Walks of different entries may drop their children on different threads at once, while
  // nothing else changes the node.
  void DropChildAt(int index);

  std::string_view Name() const { return name.View(); }
  cJSON* Parent() const { return parent; }

  // --- the reader ---

  // Replaces the node's content with what `text` reads as. The text is read in one pass,
  // however deeply it nests.
  void Parse(std::string_view text);
  // Reads the pieces of an inner text (without its enclosing characters) into the node.
  void ParseMembers(std::string_view inner);
  // Parse reads a text of at least this many bytes (1 MiB unless set) on two threads: a helper
  // reads on from a place in the second half where a member of a member of the root seems to
  // begin, and the reading takes the helper's nodes over when it finds that they continue its own
  // (a case list's second half of cases). The tree is the same either way. Returns the size set
  // before; 0 tries every text.
  static std::size_t SetSplitReadMinimum(std::size_t bytes);
  // How many readings so far took over a helper's nodes.
  static std::uint64_t SplitReadsJoined();

  // --- the writer ---

  // The node as compact text; empty for a node without entries.
  std::string GetText() const;
  // The written form of element `index`; empty for an index out of range.
  std::string ItemText(int index) const;
  // The written form of the value of the member under `key`.
  std::string MemberText(std::string_view key) const;
  // The written form of a key: escaped, and quoted when it holds a character that needs it.
  static std::string KeyText(std::string_view key);
  // The written form of one value of the given kind; `child` is used for arrays and objects.
  static std::string FormatValue(std::string_view text, int kind, const cJSON* child);
  // `text` with a backslash before every double quote, CR, LF, tab and backslash.
  static std::string Escape(std::string_view text);

  // --- text helpers ---

  // Removes the characters with codes 0 to 32 from both ends.
  static std::string_view Trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) {
      ++begin;
    }
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) {
      --end;
    }
    return text.substr(begin, end - begin);
  }
  // Trims `text`, returns its first character (empty for an empty text) and leaves
  // in `text` what lies between its first and last character.
  static std::string StripEnclosing(std::string& text);
  // Removes matching enclosing double or single quotes and trims what is left.
  static std::string Unquote(std::string_view key);
  // Turns each pair of backslashes into one; every other backslash stays.
  static void CollapseBackslashes(std::string& text);
  // True when any character of `text` occurs in `set`.
  static bool ContainsAny(std::string_view text, std::string_view set);

 private:
  // A node's name in 12 bytes: up to 11 characters in place, a longer one on the heap. Names
  // in an answer are short ("FieldList", a case's number) and a big one holds nearly a million
  // nodes.
  class ShortName {
   public:
    explicit ShortName(std::string_view text);
    ~ShortName();
    ShortName(const ShortName&) = delete;
    ShortName& operator=(const ShortName&) = delete;
    std::string_view View() const;
    bool OnHeap() const {
      return static_cast<unsigned char>(bytes_[sizeof bytes_ - 1]) == OnHeapTag;
    }
    // Gives back a name held on the heap; the name reads as empty afterwards.
    void Release() noexcept;

   private:
    static constexpr unsigned char OnHeapTag = 0xFF;
    // In place: the characters, and their count in the last byte. On the heap: the pointer (to
    // the length and the characters), and OnHeapTag in the last byte.
    alignas(4) char bytes_[12];
  };

  struct Value;
  class Reader;
  struct Unread {};

  cJSON(std::string_view text, std::string_view name, cJSON* parent, int depth);
  // An empty object or array below `parent`, to be filled by the reader.
  cJSON(Unread, std::string_view name, cJSON* parent, bool object);
  // The same, in storage of `arena`.
  static std::unique_ptr<cJSON> NewUnread(cJSONArena& arena, std::string_view name, cJSON* parent,
                                          bool object);
  void Read(std::string_view text);
  // Notes a change to a node that lies in a document's regions: the document is then freed node
  // by node (cJSONArena::Held).
  void Spoil() const {
    if (in_arena_) {
      cJSONArena::Spoil(this);
    }
  }
  // Destroys every child and empties the node; a document unchanged since it was read goes at
  // once, with the regions it was read into.
  void ClearEntries();
  // Gives back what a node in regions about to go keeps on the heap, its children untouched.
  void ReleaseHeapParts() noexcept;
  // SetValue with the child that a bracketed or braced value reads as already read, if any.
  // `storedAbsent`: the key as stored (StoredKey) finds no entry.
  void StoreParsed(std::string_view key, std::string_view value, std::unique_ptr<cJSON> child,
                   bool storedAbsent = false);
  // The key as an object member stores it: without its enclosing quotes, trimmed inside them.
  static std::string_view StoredKey(std::string_view key) {
    if (key.empty() || (key.front() != '"' && key.front() != '\'') || key.back() != key.front()) {
      return key;
    }
    return Trim(key.size() >= 3 ? key.substr(1, key.size() - 2) : std::string_view{});
  }
  void Classify(std::string_view key, std::string_view value, Value& out);
  std::unique_ptr<cJSON> MakeChild(std::string_view text, std::string_view key);
  // `absent`: the key as written was looked up just before and found nowhere; `storedAbsent`:
  // so was the key as stored.
  void StoreMember(std::string_view key, Value& value, bool absent = false,
                   bool storedAbsent = false);
  cJSONEntries::Slot SetLineValue(std::string_view key, std::string_view value, bool knownAbsent);
  void AppendText(std::string& out) const;
  void AppendMemberValue(std::string& out, std::string_view key) const;
  static void AppendValue(std::string& out, std::string_view text, int kind, const cJSON* child);

  // Depths beyond MaxDepth all read alike, so the depth stops there and fits a byte.
  static std::uint8_t Depth(int levels) {
    return static_cast<std::uint8_t>(levels < MaxDepth ? levels : MaxDepth);
  }

  ShortName name;
  bool isObject = true;
  bool in_arena_ = false;   // the node lies in a cJSONArena, not on the heap
  bool recorded_ = false;   // ... and its arena recorded it for its name or entries on the heap
  std::uint8_t depth_ = 0;  // levels above this node (at most MaxDepth); the root is at 0
  cJSON* parent = nullptr;
  cJSONEntries entries;
};
