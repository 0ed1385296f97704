// Tests of the entry list against a plain list of name=value lines: holes and the key index must
// not show.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cJSON.h"
#include "cJSONEntries.h"

namespace {

// The rules of a name=value list written out the slow, obvious way.
class PlainLines {
 public:
  int Find(std::string_view key) const {
    if (key.find('=') != std::string_view::npos) {
      return -1;
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      const std::string& line = lines_[i];
      if (line.size() > key.size() && line[key.size()] == '=' &&
          Folded(line.substr(0, key.size())) == Folded(key)) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  static std::string Folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
      c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return out;
  }
  std::vector<std::string> lines_;
  std::vector<int> kinds_;
};

// Random appends, rewrites, first-match deletions and fittings give the same lines, kinds and
// lookups as the plain list.
TEST(cJSONEntriesTest, MatchesPlainLinesUnderRandomChanges) {
  std::mt19937 rng(77);
  auto pick = [&rng](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
  };
  const std::vector<std::string> keys = {"a",    "A", "b",   "key",  "KEY",
                                         "Key1", "",  "x y", "\xc4", "z"};
  auto randomKey = [&] {
    return keys[static_cast<std::size_t>(pick(0, static_cast<int>(keys.size()) - 1))] +
           (pick(0, 3) == 0 ? std::to_string(pick(0, 40)) : "");
  };
  cJSONEntries entries;
  PlainLines plain;
  for (int step = 0; step < 20000; ++step) {
    const std::string key = randomKey();
    const std::string serial = std::to_string(step);  // keeps every line distinct
    const int op = pick(0, 9);
    if (op < 4) {
      const std::string line =
          pick(0, 9) == 0 ? serial : key + "=" + serial + (pick(0, 4) == 0 ? "=more" : "");
      // Now and then a kind code of a caller's own, wider than a packed list keeps.
      const int kind = pick(0, 300) == 0 ? -300 : -pick(0, -JSON_WORD);
      entries.Append(line, kind);
      plain.lines_.push_back(line);
      plain.kinds_.push_back(kind);
    } else if (op < 7) {
      const cJSONEntries::Slot slot = entries.Find(key);
      const int index = plain.Find(key);
      ASSERT_EQ(slot == cJSONEntries::NoSlot, index < 0) << key;
      if (index >= 0) {
        ASSERT_EQ(entries.Line(slot), plain.lines_[static_cast<std::size_t>(index)]);
        entries.Erase(slot);
        plain.lines_.erase(plain.lines_.begin() + index);
        plain.kinds_.erase(plain.kinds_.begin() + index);
      }
    } else if (op < 8) {
      const cJSONEntries::Slot slot = entries.Find(key);
      const int index = plain.Find(key);
      ASSERT_EQ(slot == cJSONEntries::NoSlot, index < 0) << key;
      if (index >= 0) {
        const std::string line = PlainLines::Folded(key) + "=" + serial;
        entries.Rewrite(slot, line);
        plain.lines_[static_cast<std::size_t>(index)] = line;
      }
    } else if (op < 9 && !plain.lines_.empty()) {
      const int index = pick(0, static_cast<int>(plain.lines_.size()) - 1);
      ASSERT_EQ(entries.LineAt(index), plain.lines_[static_cast<std::size_t>(index)]);
      ASSERT_EQ(entries.KindOf(entries.SlotAt(index)),
                plain.kinds_[static_cast<std::size_t>(index)]);
    } else if (pick(0, 200) == 0) {
      entries.Clear();
      plain.lines_.clear();
      plain.kinds_.clear();
    } else if (pick(0, 100) == 0) {
      entries.ShrinkToFit();  // as a read list is: exactly its room, grown again by what follows
      for (int i = 0; i < entries.Count(); ++i) {
        ASSERT_EQ(entries.LineAt(i), plain.lines_[static_cast<std::size_t>(i)]);
        ASSERT_EQ(entries.KindOf(entries.SlotAt(i)), plain.kinds_[static_cast<std::size_t>(i)]);
      }
    }
    ASSERT_EQ(entries.Count(), static_cast<int>(plain.lines_.size()));
    const cJSONEntries::Slot slot = entries.Find(key);
    const int index = plain.Find(key);
    ASSERT_EQ(slot == cJSONEntries::NoSlot, index < 0) << key;
    if (index >= 0) {
      ASSERT_EQ(entries.Line(slot), plain.lines_[static_cast<std::size_t>(index)]);
    }
  }
  for (int i = 0; i < entries.Count(); ++i) {
    ASSERT_EQ(entries.LineAt(i), plain.lines_[static_cast<std::size_t>(i)]);
  }
}

// KeysUnique holds until a line whose key nobody looked up comes in: then a line's own key may
// find an earlier line.
TEST(cJSONEntriesTest, KeysUniqueUntilAKeyMayRepeat) {
  cJSONEntries entries;
  entries.AppendMember("a", "1", JSON_WORD);
  entries.AppendMember("B", "2", JSON_WORD);
  entries.Append("plain", JSON_WORD);  // no key at all
  EXPECT_TRUE(entries.KeysUnique());
  entries.AppendMember("a=b", "3", JSON_WORD);  // its line's key is "a"
  EXPECT_FALSE(entries.KeysUnique());
  EXPECT_EQ(entries.Find("a"), entries.SlotAt(0));
  entries.Clear();
  EXPECT_TRUE(entries.KeysUnique());
  entries.Append("b=1", JSON_WORD);
  EXPECT_FALSE(entries.KeysUnique());
  cJSONEntries fitted;
  fitted.TakeFitted(entries);
  EXPECT_FALSE(fitted.KeysUnique());
}

// KeyAt is the part before the first "=", and empty for a line without one.
TEST(cJSONEntriesTest, KeyAtSplitsAtFirstEquals) {
  cJSONEntries entries;
  entries.Append("k=v=w", JSON_WORD);
  entries.Append("plain", JSON_WORD);
  entries.Append("=x", JSON_WORD);
  EXPECT_EQ(entries.KeyAt(0), "k");
  EXPECT_EQ(entries.KeyAt(1), "");
  EXPECT_EQ(entries.KeyAt(2), "");
  EXPECT_EQ(entries.ValueOf(entries.Find("K")), "v=w");
  EXPECT_EQ(entries.Line(entries.Find("")), "=x");
  EXPECT_EQ(entries.Find("k=v"), cJSONEntries::NoSlot);
}

}  // namespace
