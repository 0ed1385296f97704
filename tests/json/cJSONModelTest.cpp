// Tests of the cJSON document model: kinds, stored texts, keys, children and ownership.
#include <gtest/gtest.h>
#include <malloc.h>

#include <string>

#include "JsonDump.h"
#include "cJSON.h"

namespace {

struct KindCase {
  const char* label;
  std::string value;
  std::string stored;  // GetValue afterwards
  int kind;
};

// How SetValue stores each sort of value text in an object, and the kind it gets.
TEST(cJSONTest, SetValueClassifiesByText) {
  const KindCase cases[] = {
      {"empty", "", "", JSON_NULL},
      {"true", "true", "1", JSON_BOOL},
      {"false", "false", "0", JSON_BOOL},
      {"capitalised true", "True", "True", JSON_WORD},
      {"upper false", "FALSE", "FALSE", JSON_WORD},
      {"t-word", "tree", "tree", JSON_WORD},
      {"decimal", "74.7", "74.7", JSON_NUMBER},
      {"negative", "-3", "-3", JSON_NUMBER},
      {"signed exponent", "+1.5e-3", "+1.5e-3", JSON_NUMBER},
      {"leading point", ".5", ".5", JSON_NUMBER},
      {"blanks around", " 5 ", " 5 ", JSON_NUMBER},
      {"zero", "0", "0", JSON_WORD},
      {"zero fraction", "0.000", "0.000", JSON_WORD},
      {"negative zero", "-0e7", "-0e7", JSON_WORD},
      {"exponent without digits", "1e", "1e", JSON_WORD},
      {"number then letter", "12a", "12a", JSON_WORD},
      {"comma decimal", "1,5", "1,5", JSON_STRING},
      {"letters", "abc", "abc", JSON_WORD},
      {"colon word", "a:b", "a:b", JSON_WORD},
      {"space", "a b", "a b", JSON_STRING},
      {"double quoted", "\"abc\"", "abc", JSON_STRING},
      {"single quoted", "'abc'", "abc", JSON_STRING},
      {"quoted number", "\"12\"", "12", JSON_STRING},
      {"quoted blanks", "\" a \"", " a ", JSON_STRING},
      {"unclosed quote", "\"abc", "\"abc", JSON_STRING},
      {"mixed quotes", "\"abc'", "\"abc'", JSON_STRING},
      {"four backslashes", "\\\\\\\\", "\\\\", JSON_STRING},
      {"three backslashes", "\\\\\\", "\\\\", JSON_STRING},
      {"backslash quote", "\"a\\\"b\"", "a\\\"b", JSON_STRING},
      {"unclosed bracket", "[1,2", "[1,2", JSON_STRING},
      {"array", "[1,2]", "array", JSON_ARRAY},
      {"object", "{a:1}", "object", JSON_OBJECT},
      {"word null", "null", "", JSON_WORD},
      {"quoted null", "'null'", "", JSON_STRING},
  };
  for (const KindCase& c : cases) {
    cJSON root;
    root.SetValue("k", c.value);
    EXPECT_EQ(root.Count(), 1) << c.label;
    EXPECT_EQ(root.GetValue("k"), c.stored) << c.label;
    EXPECT_EQ(root.KindOf("k"), c.kind) << c.label;
    EXPECT_EQ(root.KindAt(0), c.kind) << c.label;
  }
}

// A root built from empty texts is an empty object, and lookups on it find nothing.
TEST(cJSONTest, EmptyRootIsEmptyObject) {
  cJSON root;
  EXPECT_FALSE(root.IsArray());
  EXPECT_EQ(root.Count(), 0);
  EXPECT_EQ(root.GetValue("x"), "");
  EXPECT_EQ(root.KindOf("x"), JSON_NULL);
  EXPECT_EQ(root.FindChild("x", false), nullptr);
  EXPECT_EQ(root.Count(), 0);
}

// The name is stored trimmed, the parent as given.
TEST(cJSONTest, ConstructorKeepsTrimmedNameAndParent) {
  cJSON root;
  cJSON node("[1]", " \tlist \n", &root);
  EXPECT_EQ(node.Name(), "list");
  EXPECT_EQ(node.Parent(), &root);
  EXPECT_TRUE(node.IsArray());
  // Names are kept in place up to 11 characters and on the heap beyond; both read back whole.
  for (const std::string& name :
       {std::string(), std::string(11, 'n'), std::string(12, 'n'), std::string(300, 'n')}) {
    EXPECT_EQ(cJSON("{}", name, &root).Name(), name) << name.size();
  }
}

// An empty value stores "null", and a quoted empty value deletes the member or never makes it.
TEST(cJSONTest, EmptyValuesStoreNullOrDelete) {
  cJSON root;
  root.SetValue("a", "");
  EXPECT_EQ(root.Items().LineAt(0), "a=null");
  EXPECT_EQ(root.KindOf("a"), JSON_NULL);
  root.SetValue("b", "\"\"");
  EXPECT_EQ(root.Count(), 1);
  root.SetValue("c", "1");
  root.SetValue("c", "''");
  EXPECT_EQ(Dump(root), "{a=null/0}");
}

// An empty value rewrites a present member in place, while any other value moves it to the end.
TEST(cJSONTest, RepeatedBareKeyMovesToEnd) {
  cJSON root;
  root.SetValue("a", "1");
  root.SetValue("b", "2");
  root.SetValue("a", "");
  EXPECT_EQ(Dump(root), "{a=null/0 b=2/n}");
  root.SetValue("A", "x y");
  EXPECT_EQ(Dump(root), "{b=2/n A=x y/s}");
  root.SetValue("B", "{c:1}");
  EXPECT_EQ(Dump(root), "{A=x y/s B=object{c=1/n}}");
}

// A quoted repeated key rewrites the member where it stands, spelled as in the new call.
TEST(cJSONTest, RepeatedQuotedKeyRewritesInPlace) {
  cJSON root;
  root.SetValue("a", "[1]");
  root.SetValue("b", "2");
  root.SetValue("\"A\"", "3");
  EXPECT_EQ(Dump(root), "{A=3/n b=2/n}");
  root.SetValue("'b'", "{x:1}");
  EXPECT_EQ(Dump(root), "{A=3/n b=object{x=1/n}}");
  root.SetValue("\"b\"", "true");
  EXPECT_EQ(Dump(root), "{A=3/n b=1/b}");
  EXPECT_EQ(root.ChildAt(1), nullptr);
}

// Keys are unquoted and trimmed inside their quotes; one lone quote becomes the empty key.
TEST(cJSONTest, UnquoteRemovesMatchingQuotes) {
  EXPECT_EQ(cJSON::Unquote("\" a b \""), "a b");
  EXPECT_EQ(cJSON::Unquote("'x'"), "x");
  EXPECT_EQ(cJSON::Unquote("\"x'"), "\"x'");
  EXPECT_EQ(cJSON::Unquote(" 'x'"), " 'x'");
  EXPECT_EQ(cJSON::Unquote("\""), "");
  EXPECT_EQ(cJSON::Unquote(""), "");
}

// StripEnclosing returns the first character and leaves what lies between the ends.
TEST(cJSONTest, StripEnclosingTakesEnds) {
  struct Row {
    std::string text, first, rest;
  } rows[] = {{"  [abc]  ", "[", "abc"},
              {"", "", ""},
              {"ab", "a", ""},
              {"x", "x", ""},
              {"<a b>", "<", "a b"}};
  for (Row& r : rows) {
    std::string text = r.text;
    EXPECT_EQ(cJSON::StripEnclosing(text), r.first) << r.text;
    EXPECT_EQ(text, r.rest) << r.text;
  }
}

// Pairs of backslashes collapse to one, walking on after the one that stays.
TEST(cJSONTest, CollapseBackslashesHalvesPairs) {
  struct Row {
    std::string in, out;
  } rows[] = {{"a\\\\b", "a\\b"}, {"\\\\\\", "\\\\"}, {"\\\\\\\\", "\\\\"},
              {"\\\"", "\\\""},   {"\\", "\\"},       {"", ""}};
  for (Row& r : rows) {
    std::string text = r.in;
    cJSON::CollapseBackslashes(text);
    EXPECT_EQ(text, r.out) << r.in;
  }
}

// A key holding "=" is stored but found only under the part before it.
TEST(cJSONTest, KeyWithEqualsSplitsLine) {
  cJSON root;
  root.SetValue("a=b", "v w");
  EXPECT_EQ(root.Count(), 1);
  EXPECT_EQ(root.Items().KeyAt(0), "a");
  EXPECT_EQ(root.GetValue("a=b"), "");
  EXPECT_EQ(root.GetValue("a"), "b=v w");
  EXPECT_EQ(root.KindOf("a"), JSON_NULL);  // the tag was never set: the full key finds nothing
  root.SetValue("a=c", "[1,2]");           // the child has no member to hold it
  EXPECT_EQ(Dump(root), "{a=b=v w/0 a=c=array/0}");
  root.SetValue("A", "3");  // removes the first of them, then rewrites the next in place
  EXPECT_EQ(Dump(root), "{A=3/n}");
}

// GetChild appends an empty object member, which then reads as "object".
TEST(cJSONTest, GetChildCreatesEmptyObject) {
  cJSON root;
  root.SetValue("n", "5");
  cJSON* child = root.GetChild("Sub");
  ASSERT_NE(child, nullptr);
  EXPECT_FALSE(child->IsArray());
  EXPECT_EQ(child->Count(), 0);
  EXPECT_EQ(child->Parent(), &root);
  EXPECT_EQ(root.GetValue("sub"), "object");
  EXPECT_EQ(root.KindOf("SUB"), JSON_OBJECT);
  EXPECT_EQ(root.GetChild("sub"), child);
  EXPECT_EQ(root.GetChild("n"), nullptr);  // a scalar member has no child
  EXPECT_EQ(root.Count(), 2);
}

// A member holding an array reads as "array"; ChildAt and KindAt answer by index.
TEST(cJSONTest, ChildAndKindByIndex) {
  cJSON root("{a:[1,'x'],b:true}");
  EXPECT_EQ(root.GetValue("a"), "array");
  ASSERT_NE(root.ChildAt(0), nullptr);
  EXPECT_TRUE(root.ChildAt(0)->IsArray());
  EXPECT_EQ(root.ChildAt(1), nullptr);
  EXPECT_EQ(root.KindAt(1), JSON_BOOL);
  EXPECT_EQ(root.ChildAt(-1), nullptr);
  EXPECT_EQ(root.KindAt(-1), JSON_NULL);
  EXPECT_EQ(root.ChildAt(2), nullptr);  // past the end: none rather than a stray read
  EXPECT_EQ(root.KindAt(2), JSON_NULL);
  EXPECT_EQ(root.Items().KeyAt(2), "");
}

// RemoveMember deletes the first match with its child and keeps the order of the rest.
TEST(cJSONTest, RemoveMemberKeepsOrder) {
  cJSON root("{a:1,b:{c:[1]},d:3}");
  root.RemoveMember("x");
  EXPECT_EQ(root.Count(), 3);
  root.RemoveMember("B");
  EXPECT_EQ(Dump(root), "{a=1/n d=3/n}");
  root.SetValue("b", "2");
  EXPECT_EQ(Dump(root), "{a=1/n d=3/n b=2/n}");
}

// Arrays append every value, even repeated or empty ones, and never look keys up.
TEST(cJSONTest, ArrayAppendsElements) {
  cJSON list("[]");
  list.SetValue("", "1");
  list.SetValue("ignored", "1");
  list.SetValue("", "");
  list.SetValue("", "''");
  list.SetValue("", "k=v");
  EXPECT_EQ(Dump(list), "[1/n 1/n null/0 /s k=v/w]");
  EXPECT_EQ(list.Items().KeyAt(4), "k");
  EXPECT_EQ(list.Items().KeyAt(0), "");
  EXPECT_EQ(list.GetValue("k"), "v");
}

// Lookups in a big object follow the same rules as in a small one, through every change.
TEST(cJSONTest, BigObjectLookupsStayFirstMatch) {
  cJSON root;
  for (int i = 0; i < 300; ++i) {
    root.SetValue("Key" + std::to_string(i), std::to_string(i + 1));
  }
  root.SetValue("key7", "x");      // moves to the end
  root.SetValue("\"KEY8\"", "y");  // stays in place
  root.RemoveMember("kEy9");
  root.SetValue("key10=z", "w");   // found only as "key10"
  root.SetValue("key11", "\"\"");  // deleted
  EXPECT_EQ(root.Count(), 299);
  EXPECT_EQ(root.Items().KeyAt(7), "KEY8");
  EXPECT_EQ(root.Items().KeyAt(8), "Key10");
  EXPECT_EQ(root.Items().KeyAt(9), "Key12");
  EXPECT_EQ(root.Items().KeyAt(297), "key7");
  EXPECT_EQ(root.Items().KeyAt(298), "key10");
  EXPECT_EQ(root.GetValue("KEY7"), "x");
  EXPECT_EQ(root.GetValue("key8"), "y");
  EXPECT_EQ(root.GetValue("key9"), "");
  EXPECT_EQ(root.GetValue("key10"), "11");
  root.RemoveMember("key10");
  EXPECT_EQ(root.GetValue("key10"), "z=w");
  EXPECT_EQ(root.GetValue("key299"), "300");
}

// Destroying a root with nested children frees each node once (checked by the sanitizer build).
TEST(cJSONTest, DestroysNestedTree) {
  auto root = std::make_unique<cJSON>("{a:[{b:[1,{c:{}}]},[[]]],d:{e:{f:[1]}}}");
  cJSON* d = root->GetChild("d");
  ASSERT_NE(d, nullptr);
  d->GetChild("g")->SetValue("h", "[1,[2]]");
  root->SetValue("\"a\"", "1");  // destroys the first subtree
  EXPECT_EQ(CheckTree(*root), 5);
  root.reset();
}

// A big answer is walked case by case, each case's node dropped behind the walk: the memory
// of the dropped nodes goes back as the walk goes, and each entry is left as its plain word.
TEST(cJSONTest, DroppedChildrenGiveTheirMemoryBack) {
  std::string text = "{";
  for (int i = 0; i < 20000; ++i) {
    text += "\"" + std::to_string(i) + "\":{\"FieldList\":{\"pa10\":\"Name " + std::to_string(i) +
            "\",\"f13\":\"20250101\"},\"NeedsList\":{\"1\":{\"pd12\":\"Walker\"}}},";
  }
  text.back() = '}';
  const auto held = [] {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  };
  const std::size_t before = held();
  cJSON root(text);
  const std::size_t read = held() - before;
  if (read == 0) {
    GTEST_SKIP() << "this allocator does not report its heap (a sanitizer build)";
  }
  for (int i = 0; i < root.Count(); ++i) {
    root.DropChildAt(i);
  }
  EXPECT_LT(held() - before, read / 4);
  EXPECT_EQ(root.Count(), 20000);
  EXPECT_EQ(root.ChildAt(0), nullptr);
  EXPECT_EQ(root.KindAt(19999), JSON_WORD);
  EXPECT_EQ(root.GetValue("17"), "object");
  root.DropChildAt(0);  // nothing left to drop
  EXPECT_EQ(root.GetText().substr(0, 18), "{0:object,1:object");
}

}  // namespace
