// The one-pass reader against the piece-by-piece reader: the same tree from every text.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TreeDescription.h"
#include "cJSON.h"
#include "cJSONPieceReader.h"

namespace {

// Reads `text` with both readers and compares the trees and the written texts.
::testing::AssertionResult ReadsAlike(const std::string& text) {
  const cJSON onePass(text);
  const std::unique_ptr<cJSON> byPieces = cJSONPieceReader::ReadByPieces(text);
  const std::string expected = DescribeTree(*byPieces);
  const std::string actual = DescribeTree(onePass);
  if (expected != actual) {
    return ::testing::AssertionFailure()
           << "text: " << text << "\nby pieces: " << expected << "\none pass:  " << actual;
  }
  if (onePass.GetText() != byPieces->GetText()) {
    return ::testing::AssertionFailure() << "written texts differ for: " << text;
  }
  return ::testing::AssertionSuccess();
}

// Writes a random document in the dialect: nested objects and arrays, keys bare or quoted,
// values of every kind, blanks here and there.
class DocumentWriter {
 public:
  explicit DocumentWriter(unsigned seed) : rng_(seed) {}

  std::string Document(int maxDepth) {
    std::string out;
    Value(out, Pick(1, maxDepth));
    return out;
  }

  // Damages a text at a few places with the characters the reader looks at.
  std::string Damage(std::string text) {
    static const std::string marks = "{}[]:,\"'\\ \n=n";
    for (int count = Pick(0, 3); count > 0 && !text.empty(); --count) {
      const auto at = static_cast<std::size_t>(Pick(0, static_cast<int>(text.size()) - 1));
      const char mark =
          marks[static_cast<std::size_t>(Pick(0, static_cast<int>(marks.size()) - 1))];
      switch (Pick(0, 2)) {
        case 0:
          text.insert(at, 1, mark);
          break;
        case 1:
          text.erase(at, 1);
          break;
        default:
          text[at] = mark;
          break;
      }
    }
    return text;
  }

  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

 private:
  void Blank(std::string& out) {
    if (Pick(0, 5) == 0) {
      out += Pick(0, 1) == 0 ? " " : "\n\t";
    }
  }

  void Scalar(std::string& out) {
    static const std::vector<std::string> scalars = {
        "1",          "0",        "-2.5e3",    "true",    "false", "null", "word",
        "\"text\"",   "'single'", "\"a,b:c\"", "\"[x]\"", "\"\"",  "''",   "\"\\\\\"",
        "\"q\\\"q\"", "x y",      "a=b",       "\"{\"",   "1.",    "NULL"};
    out += scalars[static_cast<std::size_t>(Pick(0, static_cast<int>(scalars.size()) - 1))];
  }

  void Key(std::string& out) {
    static const std::vector<std::string> keys = {"a",       "B",   "\"a\"", "'b'", "c d",
                                                  "\"e:f\"", "k=v", "\"\"",  "A",   "\"x'y\""};
    out += keys[static_cast<std::size_t>(Pick(0, static_cast<int>(keys.size()) - 1))];
  }

  void Value(std::string& out, int depth) {
    if (depth <= 0 || Pick(0, 3) == 0) {
      Scalar(out);
      return;
    }
    const bool array = Pick(0, 1) == 0;
    out += array ? '[' : '{';
    for (int count = Pick(0, 4), i = 0; i < count; ++i) {
      if (i > 0) {
        out += ',';
      }
      Blank(out);
      if (!array) {
        Key(out);
        Blank(out);
        out += ':';
        Blank(out);
      }
      Value(out, depth - 1);
      Blank(out);
    }
    out += array ? ']' : '}';
  }

  std::mt19937 rng_;
};

// The seed texts of the reader's fuzz target and a generated case list read alike.
TEST(cJSONOnePassTest, ReadsSeedTextsLikeThePieceReader) {
  const std::filesystem::path seeds =
      std::filesystem::path(HOSP_TEST_SOURCE_DIR) / "tests/fuzz/corpus/json";
  int read = 0;
  for (const auto& entry : std::filesystem::directory_iterator(seeds)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_TRUE(ReadsAlike(text.str())) << entry.path();
    ++read;
  }
  EXPECT_GT(read, 0);
}

// Random documents, whole and damaged, and every cut of some of them, read alike.
TEST(cJSONOnePassTest, ReadsRandomTextsLikeThePieceReader) {
  DocumentWriter writer(20240601);
  for (int round = 0; round < 6000; ++round) {
    const std::string document = writer.Document(6);
    ASSERT_TRUE(ReadsAlike(document));
    ASSERT_TRUE(ReadsAlike(writer.Damage(document)));
    if (round % 50 == 0) {
      for (std::size_t cut = 0; cut < document.size(); ++cut) {
        ASSERT_TRUE(ReadsAlike(document.substr(0, cut)));
        ASSERT_TRUE(ReadsAlike(document.substr(cut)));
      }
    }
  }
}

// Members with children under keys that are quoted, repeated in another spelling, hold "=" or
// come after enough members for the key index, or for the node's key hashes to grow several
// times: each child lands where the one-pass reader puts it.
TEST(cJSONOnePassTest, ReadsChildrenUnderAnyKeyLikeThePieceReader) {
  std::string many = "{";
  for (int i = 0; i < 20; ++i) {
    many += "k" + std::to_string(i) + ":{v:" + std::to_string(i) + "},";
  }
  std::string grown = "{";
  for (int i = 0; i < 300; ++i) {
    grown += "k" + std::to_string(i) + ":" + std::to_string(i) + ",";
  }
  const std::vector<std::string> texts = {
      "{\"'a'\":{b:1},x:2,\"'a'\":[3]}",
      "{a:{b:1},A:[2],\"a\":{c:3}}",
      "{\"k=v\":{b:1},k:[2],\"k=v\":[3]}",
      "{a:1,a:{b:{c:[1,2]}},b:{},b:null}",
      "{\"\":{b:1},'':[2]}",
      "[{a:[1]},[{b:2}],null,{}]",
      many + "K7:[1,{x:2}],k19:{w:3}}",
      grown + "K0:{a:1},k150:[2],\"K299\":{b:3}}",
  };
  for (const std::string& text : texts) {
    EXPECT_TRUE(ReadsAlike(text));
  }
}

// A case list as the function server writes it: each case with its fields and `needs` needs.
std::string CaseList(int cases, int needs) {
  std::string text = "{\"CaseList\":{";
  for (int i = 1; i <= cases; ++i) {
    const std::string n = std::to_string(i);
    text += (i > 1 ? ",\"" : "\"") + n + "\":{\"FieldList\":{\"pa10\":\"Name " + n +
            "\",\"f22\":\"40000" + n + "\",\"f15\":\"pending\"},\"NeedsList\":{";
    for (int k = 1; k <= (i % (needs + 1)); ++k) {
      text += (k > 1 ? ",\"" : "\"") + std::to_string(k) +
              "\":{\"FieldList\":{\"pd12\":\"Wheelchair\",\"pt11\":\"open\"}}";
    }
    text += "}}";
  }
  return text + "}}";
}

// Big texts read on two threads read as on one, whether the second thread's part is taken over
// (a case list) or not: a key found again in the other half, damage anywhere, random texts.
TEST(cJSONOnePassTest, ReadsOnTwoThreadsLikeThePieceReader) {
  struct SplitEverything {
    SplitEverything() : before(cJSON::SetSplitReadMinimum(0)) {}
    ~SplitEverything() { cJSON::SetSplitReadMinimum(before); }
    std::size_t before;
  } split;
  const std::uint64_t joinedBefore = cJSON::SplitReadsJoined();
  const std::string cases = CaseList(200, 3);
  ASSERT_TRUE(ReadsAlike(cases));
  EXPECT_EQ(cJSON::SplitReadsJoined(), joinedBefore + 1);
  // Members that the second half finds again from the first: the first case under other
  // spellings, emptied by an empty text, and a quoted key that finds a line beginning with a quote.
  // They go right after the first case and right before the last, which the first half reads
  // again.
  const std::pair<std::string, std::string> again[] = {
      {"", "\"1\":{\"a\":1}"}, {"", "\" 1 \":{\"a\":1}"}, {"", "'1':{\"a\":1}"},
      {"", "1:{\"a\":1}"},     {"", "\"1\":\"\""},        {"'\"x\"':{\"a\":1}", "\"x\":[2]"},
  };
  for (const auto& [early, late] : again) {
    std::string text = cases;
    text.insert(text.find(",\"200\":"), "," + late);
    if (!early.empty()) text.insert(text.find(",\"2\":"), "," + early);
    EXPECT_TRUE(ReadsAlike(text)) << late;
  }
  // The last case, which the first half reads after taking the second half over, under the key
  // of a case of the second half: it replaces that case.
  std::string repeated = cases;
  repeated.replace(repeated.find("\"200\":"), 5, "\"150\"");
  const std::uint64_t joinedRepeated = cJSON::SplitReadsJoined();
  EXPECT_TRUE(ReadsAlike(repeated));
  EXPECT_EQ(cJSON::SplitReadsJoined(), joinedRepeated + 1);
  // Cases whose level a stray "]" in a case of the second half ends, since their key opened a
  // bracket: the helper, which counts no bracket there, reads on.
  std::string bracketed = cases;
  bracketed.replace(0, 13, "{\"CaseList\"[:{").insert(bracketed.find("\"Name 190\"") + 10, "]");
  EXPECT_TRUE(ReadsAlike(bracketed));
  DocumentWriter writer(20261208);
  for (int round = 0; round < 300; ++round) {
    ASSERT_TRUE(ReadsAlike(writer.Damage(cases)));
  }
  for (int round = 0; round < 3000; ++round) {
    const std::string document = writer.Document(6);
    ASSERT_TRUE(ReadsAlike(document));
    ASSERT_TRUE(ReadsAlike(writer.Damage(document)));
  }
  EXPECT_GT(cJSON::SplitReadsJoined(), joinedBefore + 200);
}

// Texts that nest past the depth limit, closed, unclosed and with closings inside quotes, read
// alike.
TEST(cJSONOnePassTest, ReadsDeepTextsLikeThePieceReader) {
  const std::vector<std::string> deep = {
      std::string(300, '[') + std::string(300, ']'),
      std::string(300, '[') + "\"" + std::string(300, ']'),
      std::string(300, '{') + std::string(299, '}'),
      std::string(200, '[') + "1,2" + std::string(100, ']') + "," + std::string(100, ']'),
  };
  for (const std::string& text : deep) {
    EXPECT_TRUE(ReadsAlike(text));
  }
  std::string chain;
  for (int level = 0; level < 140; ++level) {
    chain += level % 2 == 0 ? "{x:1,a:" : "[1,";
  }
  EXPECT_TRUE(ReadsAlike(chain));
  for (int level = 0; level < 140; ++level) {
    chain += level % 2 == 0 ? "]" : "}";
  }
  EXPECT_TRUE(ReadsAlike(chain));
}

// The reader tests 16 characters at a time where 16 can be read: a character that matters at
// the last place of a block, the first of the next, or just past the end of the text, and a
// member that ends there, read as the piece reader reads it. Each text has one special
// character at a position from 12 to 35 within a key, a value or the blanks between them.
TEST(cJSONOnePassTest, ReadsSpecialCharactersAtBlockBoundariesLikeThePieceReader) {
  const std::string specials = "\"\\'=,:{}[] x";
  // Where the special character goes: inside the first key, inside its value, before its colon,
  // after its comma.
  const std::string shapes[] = {
      "{\"k@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\":\"v\",\"b\":\"w\"}",
      "{\"k\":\"v@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\",\"b\":\"w\"}",
      "{\"k\"@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@:\"v\",\"b\":\"w\"}",
      "{\"k\":\"v\",@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\"b\":\"w\"}",
      "{\"a\":{\"k\":\"v@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\",\"b\":\"w\"},\"c\":\"x\"}",
  };
  int texts = 0;
  for (const std::string& shape : shapes) {
    for (const char special : specials) {
      for (std::size_t at = 12; at < 36 && at < shape.size(); ++at) {
        if (shape[at] != '@') continue;
        std::string text = shape;
        text[at] = special;
        for (char& c : text) c = c == '@' ? ' ' : c;
        EXPECT_TRUE(ReadsAlike(text));
        // The text ends right behind the special character too, so that no block reaches past it.
        EXPECT_TRUE(ReadsAlike(text.substr(0, at + 1)));
        EXPECT_TRUE(ReadsAlike(text.substr(0, at + 2)));
        texts += 3;
      }
    }
  }
  EXPECT_GT(texts, 1000);
}

}  // namespace
