// Tests that hostile, malformed and truncated texts never crash the reader and keep the stack safe.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "JsonDump.h"
#include "cJSON.h"

namespace {

// Reads `text`, writes the tree and reads the written text, checking both trees.
void ReadWriteRead(const std::string& text) {
  const cJSON first(text);
  EXPECT_LE(CheckTree(first), cJSON::MaxDepth) << text;
  const cJSON second(first.GetText());
  EXPECT_LE(CheckTree(second), cJSON::MaxDepth) << text;
}

// The deepest node of a chain of single children, and the number of levels down to it.
const cJSON* Deepest(const cJSON& root, int& levels) {
  const cJSON* node = &root;
  levels = 1;
  while (node->Count() == 1 && node->ChildAt(0)) {
    node = node->ChildAt(0);
    ++levels;
  }
  return node;
}

// A million nested brackets stop at the depth limit; the rest is kept as one string value.
TEST(cJSONRobustnessTest, DeepBracketsStopAtDepthLimit) {
  const std::size_t n = 1000000;
  const cJSON root(std::string(n, '[') + std::string(n, ']'));
  int levels = 0;
  const cJSON* deepest = Deepest(root, levels);
  EXPECT_EQ(levels, cJSON::MaxDepth);
  ASSERT_EQ(deepest->Count(), 1);
  EXPECT_EQ(deepest->KindAt(0), JSON_STRING);
  const std::size_t kept = n - cJSON::MaxDepth;
  EXPECT_EQ(deepest->Items().LineAt(0), std::string(kept, '[') + std::string(kept, ']'));
}

// A million unclosed brackets are one string element: no bracket ever closes.
TEST(cJSONRobustnessTest, UnclosedBracketsAreOneString) {
  const std::size_t n = 1000000;
  const cJSON root(std::string(n, '['));
  EXPECT_TRUE(root.IsArray());
  ASSERT_EQ(root.Count(), 1);
  EXPECT_EQ(root.KindAt(0), JSON_STRING);
  EXPECT_EQ(root.Items().LineAt(0).size(), n - 2);
}

// Deep objects with commas at every level also stop at the limit, and the writer keeps the cut
// text.
TEST(cJSONRobustnessTest, DeepObjectsWithSiblingsStopAtDepthLimit) {
  const int n = 20000;
  std::string text;
  for (int i = 0; i < n; ++i) {
    text += "{x:1,a:";
  }
  text += "0";
  text += std::string(n, '}');
  cJSON root(text);
  int levels = 1;
  cJSON* node = &root;
  while (node->GetValue("a") == "object") {
    EXPECT_EQ(node->Count(), 2);
    node = node->FindChild("a", false);
    ++levels;
  }
  EXPECT_EQ(levels, cJSON::MaxDepth);
  EXPECT_EQ(node->KindOf("a"), JSON_STRING);
  EXPECT_EQ(node->GetValue("a").substr(0, 14), "{x:1,a:{x:1,a:");
  EXPECT_EQ(CheckTree(cJSON(root.GetText())), cJSON::MaxDepth);
}

// A nested value below the limit, given through SetValue, is cut the same way at its depth.
TEST(cJSONRobustnessTest, SetValueHonoursDepthLimit) {
  cJSON root;
  cJSON* node = &root;
  for (int level = 1; level < cJSON::MaxDepth - 1; ++level) {
    node = node->GetChild("d");
  }
  node->SetValue("last", "[1]");
  EXPECT_EQ(node->KindOf("last"), JSON_ARRAY);
  node->GetChild("d")->SetValue("cut", "[1]");
  EXPECT_EQ(node->GetChild("d")->KindOf("cut"), JSON_STRING);
  EXPECT_EQ(node->GetChild("d")->GetValue("cut"), "[1]");
}

// Members that keep moving to the end leave no trail of holes that later lookups would walk.
TEST(cJSONRobustnessTest, AlternatingRepeatedKeysStayLinear) {
  std::string text = "{";
  for (int i = 0; i < 200000; ++i) {
    text += "a:1,b:2,";
  }
  text += "}";
  const cJSON root(text);
  EXPECT_EQ(Dump(root), "{a=1/n b=2/n}");
}

// Every prefix and suffix of sample texts reads without harm.
TEST(cJSONRobustnessTest, TruncatedTextsNeverCrash) {
  const std::vector<std::string> samples = {
      "{ 'someName':74.7, \"x\":'demo', myObject:{myArray:['u','i','o','p'], other:'value'} }",
      "{\"CaseList\":{\"1\":{\"FieldList\":{\"pa10\":\"Hans\",\"f13\":\"20250519\"},\"NeedsList\":{"
      "\"1\":"
      "{\"FieldList\":{\"pd12\":\"Shower stool\"}}}}}}",
      "[\"a\\\\\",'b\\'',{\"c=d\":[[],{}],e:\"\\\"\"},null,true,-0.5e3]",
  };
  for (const std::string& sample : samples) {
    for (std::size_t cut = 0; cut <= sample.size(); ++cut) {
      ReadWriteRead(sample.substr(0, cut));
      ReadWriteRead(sample.substr(cut));
    }
  }
}

// Random texts over the dialect's special characters read without harm.
TEST(cJSONRobustnessTest, RandomTextsNeverCrash) {
  std::mt19937 rng(4242);
  const std::string alphabet = "{}[]:,\"'\\ =a1tn\n\x01\xff";
  std::uniform_int_distribution<std::size_t> pickChar(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> pickLength(0, 48);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = pickLength(rng);
    for (int i = 0; i < length; ++i) {
      text.push_back(alphabet[pickChar(rng)]);
    }
    ReadWriteRead(text);
    if (HasFailure()) {
      return;
    }
  }
}

}  // namespace
