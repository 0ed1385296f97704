// Tests of the compact cJSON writer and of reading its text back.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "JsonDump.h"
#include "cJSON.h"

namespace {

// The request of a refresh is written with bare keys and values.
TEST(cJSONWriterTest, WritesRefreshRequest) {
  cJSON root;
  root.SetValue("ServerCommand", "getdoctorcases");
  root.SetValue("DoctorSeq", "17");
  EXPECT_EQ(root.GetText(), "{ServerCommand:getdoctorcases,DoctorSeq:17}");
}

// The sample document is written compactly, strings always in double quotes.
TEST(cJSONWriterTest, WritesSampleDocument) {
  cJSON root(
      "{ 'someName':74.7, \"x\":'demo', myObject:{myArray:['u','i','o','p'], other:'value'} }");
  EXPECT_EQ(
      root.GetText(),
      "{someName:74.7,x:\"demo\",myObject:{myArray:[\"u\",\"i\",\"o\",\"p\"],other:\"value\"}}");
}

struct WriteCase {
  const char* label;
  std::string text;  // read into a root, then written
  std::string written;
};

// Edge cases of the written form, each from a document read from text.
TEST(cJSONWriterTest, WritesEdgeCases) {
  const WriteCase cases[] = {
      {"empty root", "{}", ""},
      {"empty array root", "[ ]", ""},
      {"empty child", "{a:{},b:1}", "{a:,b:1}"},
      {"empty child in array", "[1,[],2]", "[1,,2]"},
      {"booleans", "{t:true,f:false}", "{t:true,f:false}"},
      {"null member", "{a}", "{a:null}"},
      {"word null member", "{a:null}", "{a:}"},
      {"string null member", "{a:'null'}", "{a:\"\"}"},
      {"null elements", "[null,'null']", "[null,\"null\"]"},
      {"three strings", "[ 'a' , \"b\" , 'c' ]", "[\"a\",\"b\",\"c\"]"},
      {"quote and backslash", "{s:'a\"b\\\\c'}", "{s:\"a\\\"b\\\\c\"}"},
      {"raw line feed", "{s:'a\nb'}", "{s:\"a\\\nb\"}"},
      {"key with colon", "{'a:b':1}", "{\"a:b\":1}"},
      {"key with space", "{'a b':1}", "{a b:1}"},
      {"key with tab", "{'a\tb':1}", "{\"a\\\tb\":1}"},
      {"key with quote", "{\"a\\\"b\":x}", "{\"a\\\\\\\"b\":x}"},
      {"word with colon", "{a:b:c}", "{a:b:c}"},
      {"string with space", "{a:b c}", "{a:\"b c\"}"},
      {"number as given", "[+1.50e3]", "[+1.50e3]"},
      {"key with equals", "{'a=b':1}", "{a:null}"},
  };
  for (const WriteCase& c : cases) {
    cJSON root(c.text);
    EXPECT_EQ(root.GetText(), c.written) << c.label;
  }
}

// A member added by GetChild alone leaves its key and colon with nothing after them.
TEST(cJSONWriterTest, WritesChildAddedByGetChild) {
  cJSON root;
  root.GetChild("List");
  root.SetValue("n", "");
  EXPECT_EQ(root.GetText(), "{List:,n:null}");
  root.GetChild("List")->SetValue("x", "y");
  EXPECT_EQ(root.GetText(), "{List:{x:y},n:null}");
}

// FormatValue by kind, booleans by the integer their text reads as.
TEST(cJSONWriterTest, FormatsValuesByKind) {
  const cJSON child("[1]");
  EXPECT_EQ(cJSON::FormatValue("anything", JSON_NULL, nullptr), "null");
  EXPECT_EQ(cJSON::FormatValue("1", JSON_BOOL, nullptr), "true");
  EXPECT_EQ(cJSON::FormatValue("-2", JSON_BOOL, nullptr), "true");
  EXPECT_EQ(cJSON::FormatValue("0", JSON_BOOL, nullptr), "false");
  EXPECT_EQ(cJSON::FormatValue("yes", JSON_BOOL, nullptr), "false");
  EXPECT_EQ(cJSON::FormatValue("99999999999", JSON_BOOL, nullptr), "false");
  EXPECT_EQ(cJSON::FormatValue("a b", JSON_WORD, nullptr), "a b");
  EXPECT_EQ(cJSON::FormatValue("1.0", JSON_NUMBER, nullptr), "1.0");
  EXPECT_EQ(cJSON::FormatValue("a\"b", JSON_STRING, nullptr), "\"a\\\"b\"");
  EXPECT_EQ(cJSON::FormatValue("array", JSON_ARRAY, &child), "[1]");
  EXPECT_EQ(cJSON::FormatValue("object", JSON_OBJECT, nullptr), "");
  EXPECT_EQ(cJSON::FormatValue("x", 7, nullptr), "");
}

// Escape puts a backslash before quotes, CR, LF, tab and backslash, and changes nothing else.
TEST(cJSONWriterTest, EscapesSpecialCharacters) {
  EXPECT_EQ(cJSON::Escape("a\"b\\c\r\n\td'e"), "a\\\"b\\\\c\\\r\\\n\\\td'e");
  EXPECT_EQ(cJSON::Escape(""), "");
  EXPECT_EQ(cJSON::KeyText("plain"), "plain");
  EXPECT_EQ(cJSON::KeyText("a,b"), "\"a,b\"");
  EXPECT_EQ(cJSON::KeyText("a\\b"), "\"a\\\\b\"");
}

// ItemText and MemberText write one value; asking for an absent one adds nothing.
TEST(cJSONWriterTest, WritesSingleValues) {
  cJSON root("{a:[1,'x',{b:2}],c:true}");
  cJSON* a = root.GetChild("a");
  EXPECT_EQ(a->ItemText(1), "\"x\"");
  EXPECT_EQ(a->ItemText(2), "{b:2}");
  EXPECT_EQ(a->ItemText(-1), "");
  EXPECT_EQ(a->ItemText(3), "");
  EXPECT_EQ(root.MemberText("C"), "true");
  EXPECT_EQ(root.MemberText("missing"), "null");
  EXPECT_EQ(root.Count(), 2);
}

// Outside the read-back domain: quotes and control characters gain a backslash, empty children
// vanish.
TEST(cJSONWriterTest, ReadBackOutsideDomain) {
  cJSON root;
  root.SetValue("s", "'a\"b\nc'");
  root.SetValue("w", "null");
  root.GetChild("e");
  root.SetValue("l", "[1,[]]");
  cJSON back(root.GetText());
  EXPECT_EQ(Dump(back), "{s=a\\\"b\\\nc/s w=null/0 e=null/0 l=array[1/n]}");
}

// Builds random documents inside the domain in which the written text reads back unchanged:
// alphanumeric keys, strings without double quotes or control characters, no empty
// children, no bare word null and no null member.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(unsigned seed) : rng_(seed) {}

  void FillObject(cJSON& node, int depth) {
    const int count = Pick(1, 6);
    for (int i = 0; i < count; ++i) {
      const std::string key =
          Alnum(Pick(0, 5), "abcdefghijklmnoprstuvwxyzABCDEFGHIJKLMNOPRSTUVWXYZ0123456789") + "q" +
          std::to_string(i);
      if (depth < 3 && Pick(0, 4) == 0) {
        if (Pick(0, 1) == 0) {
          FillObject(*node.GetChild(key), depth + 1);
        } else {
          node.SetValue(key, "[]");
          FillArray(*node.GetChild(key), depth + 1);
        }
        continue;
      }
      node.SetValue(key, Scalar(true));
    }
  }

  void FillArray(cJSON& node, int depth) {
    const int count = Pick(1, 6);
    for (int i = 0; i < count; ++i) {
      if (depth < 3 && Pick(0, 4) == 0) {
        node.SetValue("", Pick(0, 1) == 0 ? "{}" : "[]");
        cJSON* child = node.ChildAt(node.Count() - 1);
        child->IsArray() ? FillArray(*child, depth + 1) : FillObject(*child, depth + 1);
        continue;
      }
      node.SetValue("", Pick(0, 7) == 0 ? "" : Scalar(false));
    }
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  std::string Alnum(int length, std::string_view alphabet) {
    std::string text;
    for (int i = 0; i < length; ++i) {
      text.push_back(
          alphabet[static_cast<std::size_t>(Pick(0, static_cast<int>(alphabet.size()) - 1))]);
    }
    return text;
  }

  // A value text as SetValue takes it.
  std::string Scalar(bool inObject) {
    switch (Pick(0, 4)) {
      case 0:
        return Number();
      case 1:
        return Pick(0, 1) ? "true" : "false";
      case 2:
        // Starting with a letter other than n, t or f, a word is never a number, a boolean or null.
        return Pick(0, 5) == 0
                   ? "0"
                   : Alnum(1, "abcdeghijkABCXYZ") + Alnum(Pick(0, 6), "abcXYZ019:.-/=#!\xe4");
      default:
        return QuotedString(inObject);
    }
  }

  std::string Number() {
    std::string text = Pick(0, 2) == 0 ? Alnum(1, "-+") : "";
    text += Alnum(1, "123456789") + Alnum(Pick(0, 3), Digits);
    if (Pick(0, 1) == 0) {
      text += "." + Alnum(Pick(1, 3), Digits);
    }
    if (Pick(0, 2) == 0) {
      text += "e" + Alnum(1, Digits);
    }
    return text;
  }

  // An object member's string is neither empty nor "null": both would not come back.
  std::string QuotedString(bool inObject) {
    std::string content = Alnum(Pick(inObject ? 1 : 0, 10), "ab z,:[]{}'\\=.\xfc");
    if (content == "null") {
      content = "nul";
    }
    const char quote = (content.find('\'') != std::string::npos || Pick(0, 1) == 0) ? '"' : '\'';
    std::string text(1, quote);
    for (const char c : content) {
      text += c == '\\' ? "\\\\" : std::string(1, c);  // SetValue halves doubled backslashes
    }
    return text + quote;
  }

  static constexpr std::string_view Digits = "0123456789";

  std::mt19937 rng_;
};

// Documents inside the read-back domain come back from their written text unchanged.
TEST(cJSONWriterTest, ReadBackGivesSameTree) {
  DocumentGenerator generator(20240601);
  for (int round = 0; round < 400; ++round) {
    cJSON document;
    generator.FillObject(document, 0);
    const std::string text = document.GetText();
    cJSON back(text);
    ASSERT_EQ(Dump(back), Dump(document)) << text;
    ASSERT_EQ(back.GetText(), text);
  }
}

}  // namespace
