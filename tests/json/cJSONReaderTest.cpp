// Tests of the lenient cJSON reader, one group per leniency of the dialect.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonDump.h"
#include "cJSON.h"
#include "cJSONPieceReader.h"

namespace {

struct ReadCase {
  const char* label;
  std::string text;
  std::string dump;
};

void ExpectReads(const std::vector<ReadCase>& cases) {
  for (const ReadCase& c : cases) {
    cJSON root(c.text);
    EXPECT_EQ(Dump(root), c.dump) << c.label << ": " << c.text;
    cJSON reread;
    reread.SetValue("x", "1");
    reread.Parse(c.text);
    EXPECT_EQ(Dump(reread), c.dump) << c.label << " (Parse): " << c.text;
  }
}

// The sample text of the dialect reads into someName, x and myObject, in this order.
TEST(cJSONReaderTest, ReadsSampleText) {
  cJSON root(
      "{ 'someName':74.7, \"x\":'demo', myObject:{myArray:['u','i','o','p'], other:'value'} }");
  EXPECT_EQ(
      Dump(root),
      "{someName=74.7/n x=demo/s myObject=object{myArray=array[u/s i/s o/s p/s] other=value/s}}");
  EXPECT_EQ(root.GetValue("SOMENAME"), "74.7");
  cJSON* myObject = root.GetChild("myobject");
  ASSERT_NE(myObject, nullptr);
  EXPECT_EQ(myObject->GetValue("other"), "value");
}

// The first and last characters are dropped unseen; only an opening "[" makes an array.
TEST(cJSONReaderTest, AllowAnyEnclosing) {
  ExpectReads({
      {"empty text", "", "{}"},
      {"blanks", " \t\r\n ", "{}"},
      {"empty object", "{}", "{}"},
      {"empty array", "[]", "[]"},
      {"blank array", "[ \n\t ]", "[]"},
      {"blanks outside", "  [ 1 ]  ", "[1/n]"},
      {"three letters", "abc", "{b=null/0}"},
      {"parentheses", "(a:1)", "{a=1/n}"},
      {"unclosed", "{a:1", "{a=null/0}"},
      {"array opened, brace closed", "[1,2}", "[1/n 2/n]"},
  });
}

// Keys may be bare or in either kind of quotes; a quote of the other kind breaks the key's end.
TEST(cJSONReaderTest, AllowBareAndSingleQuotedKeys) {
  ExpectReads({
      {"double", "{\"a\":1}", "{a=1/n}"},
      {"single", "{'a':1}", "{a=1/n}"},
      {"bare", "{a:1}", "{a=1/n}"},
      {"blanks everywhere", "{ a : 1 , \" b c \" : 2 }", "{a=1/n b c=2/n}"},
      {"colon in quotes", "{\"a:b\":1}", "{a:b=1/n}"},
      {"comma in quotes", "{'a,b':1}", "{a,b=1/n}"},
      {"single in double", "{\"a'b\":1}", "{\"a'b\":1=null/0}"},
      {"double in single", "{'a\"b':1,c:2}", "{'a\"b':1=null/0 c=2/n}"},
      {"escaped quote in key", "{\"a\\\":b\":1}", "{a\\\":b=1/n}"},
  });
}

// Values may be bare words, single- or double-quoted strings; only doubled backslashes are decoded.
TEST(cJSONReaderTest, AllowBareWordsAndSingleQuotedStrings) {
  ExpectReads({
      {"bare word", "{a:word}", "{a=word/w}"},
      {"word with colon", "{a:b:c}", "{a=b:c/w}"},
      {"single", "{a:'x y'}", "{a=x y/s}"},
      {"separators inside", "{a:\"x,y:z]}\",b:'[{'}", "{a=x,y:z]}/s b=[{/s}"},
      {"escaped quote", "{a:\"say \\\"hi\\\"\"}", "{a=say \\\"hi\\\"/s}"},
      {"doubled backslashes", "{a:\"\\\\\\\\\"}", "{a=\\\\/s}"},
      {"backslash n stays", "[\"a\\nb\"]", "[a\\nb/s]"},
      {"blanks in quotes", "[ ' a ' ]", "[ a /s]"},
      {"escaped comma splits", "[a\\,b]", "[a\\/s b/w]"},
      {"unbalanced quote", "{a:\"x,b:1}", "{a=\"x,b:1/s}"},
      {"unbalanced bracket", "[[1,2]", "[[1,2/s]"},
  });
}

// true and false are recognised in lower case only; numbers must read as non-zero.
TEST(cJSONReaderTest, ReadsBooleansAndNumbers) {
  ExpectReads({
      {"booleans", "{a:true,b:false,c:True,d:FALSE}", "{a=1/b b=0/b c=True/w d=FALSE/w}"},
      {"numbers", "[74.7,-1,+2.5e3,1E-5,.5,5.]", "[74.7/n -1/n +2.5e3/n 1E-5/n .5/n 5./n]"},
      {"zeros", "[0,0.0,-0,0e5,00]", "[0/w 0.0/w -0/w 0e5/w 00/w]"},
      {"almost numbers", "[1e,1x,--1,1.2.3]", "[1e/w 1x/w --1/w 1.2.3/w]"},
  });
}

// null is a null element in an array but the word "null" in an object.
TEST(cJSONReaderTest, ReadsNull) {
  ExpectReads({
      {"array null", "[null, \"null\", NULL]", "[null/0 null/s NULL/w]"},
      {"object null", "{a:null}", "{a=null/w}"},
      {"missing value", "{a,b:}", "{a=null/0 b=null/0}"},
  });
  cJSON root("{a:null}");
  EXPECT_EQ(root.GetValue("a"), "");
}

// Trailing and doubled commas add nothing; a piece without a key is dropped, a quoted empty key is
// kept.
TEST(cJSONReaderTest, AllowTrailingAndDoubledCommas) {
  ExpectReads({
      {"object trailing", "{a:1,}", "{a=1/n}"},
      {"object doubled", "{a:1,,,b:2}", "{a=1/n b=2/n}"},
      {"array trailing", "[1,2,]", "[1/n 2/n]"},
      {"array leading", "[,1]", "[1/n]"},
      {"only commas", "[,,]", "[]"},
      {"empty key", "{:1,a:2,'':3}", "{a=2/n =3/n}"},
  });
}

// A repeated bare key moves to the end; a repeated quoted key is rewritten where it stands.
TEST(cJSONReaderTest, RepeatedKeysLaterWins) {
  ExpectReads({
      {"bare", "{a:1,b:2,a:3}", "{b=2/n a=3/n}"},
      {"other case", "{a:1,b:2,A:3}", "{b=2/n A=3/n}"},
      {"quoted", "{\"a\":1,b:2,\"a\":3}", "{a=3/n b=2/n}"},
      {"quoted other case", "{'a':1,b:2,\"A\":3}", "{A=3/n b=2/n}"},
      {"bare replaces child", "{a:{x:1},b:2,a:3}", "{b=2/n a=3/n}"},
      {"quoted replaces child", "{\"a\":{x:1},b:2,\"a\":[4]}", "{a=array[4/n] b=2/n}"},
      {"quoted empty deletes", "{\"a\":1,b:2,\"a\":\"\"}", "{b=2/n}"},
  });
}

// Nested arrays and objects become children; empty ones are empty children.
TEST(cJSONReaderTest, ReadsNestedValues) {
  ExpectReads({
      {"mixed", "{a:[1,[2,3],{b:4}]}", "{a=array[1/n array[2/n 3/n] object{b=4/n}]}"},
      {"empty children", "{a:{},b:[ ]}", "{a=object{} b=array[]}"},
      {"array of objects", "[{a:1},{a:2}]", "[object{a=1/n} object{a=2/n}]"},
  });
}

// A key with "=" is found only under the part before it.
TEST(cJSONReaderTest, ReadsKeyWithEquals) {
  cJSON root("{\"a=b\":1,c:2}");
  EXPECT_EQ(Dump(root), "{a=b=1/0 c=2/n}");
  EXPECT_EQ(root.GetValue("a"), "b=1");
  EXPECT_EQ(root.GetValue("a=b"), "");
}

// SplitMembers and TakeKey, the piece reader's two cutting steps, on their own.
TEST(cJSONReaderTest, SplitsPiecesAndTakesKeys) {
  EXPECT_EQ(cJSONPieceReader::SplitMembers(" a , [1,2] ,{b:3,c:4}, 'x,y' ,"),
            (std::vector<std::string>{"a", "[1,2]", "{b:3,c:4}", "'x,y'", ""}));
  EXPECT_EQ(cJSONPieceReader::SplitMembers("a]],b"), (std::vector<std::string>{"a]]", "b"}));
  EXPECT_EQ(cJSONPieceReader::SplitMembers(""), (std::vector<std::string>{""}));
  std::string piece = " \"k:1\" : v";
  EXPECT_EQ(cJSONPieceReader::TakeKey(piece, ":"), "\"k:1\"");
  EXPECT_EQ(piece, ": v");
  piece = "novalue";
  EXPECT_EQ(cJSONPieceReader::TakeKey(piece, ":"), "novalue");
  EXPECT_EQ(piece, "");
}

// The case list answer reads and walks as the case list window walks it.
TEST(cJSONReaderTest, WalksCaseListAnswer) {
  cJSON root;
  root.Parse(
      "{\"CaseList\":{\"17\":{\"FieldList\":{\"pa10\":\"Anna\",\"f13\":\"20250102\",\"ho10\":null},"
      "\"NeedsList\":{\"1\":{\"FieldList\":{\"pd12\":\"Walker\"}}}},\"18\":{\"FieldList\":{}}}}");
  EXPECT_EQ(root.GetValue("Error"), "");
  cJSON* cases = root.GetChild("CaseList");
  ASSERT_NE(cases, nullptr);
  ASSERT_EQ(cases->Count(), 2);
  EXPECT_EQ(cases->Items().KeyAt(0), "17");
  EXPECT_EQ(cases->Items().KeyAt(1), "18");
  cJSON* fields = cases->GetChild("17")->GetChild("FieldList");
  EXPECT_EQ(fields->GetValue("PA10"), "Anna");
  EXPECT_EQ(fields->GetValue("ho10"), "");
  cJSON* needs = cases->GetChild("17")->GetChild("NeedsList");
  ASSERT_EQ(needs->Count(), 1);
  EXPECT_EQ(needs->GetChild("1")->GetChild("FieldList")->GetValue("pd12"), "Walker");
  EXPECT_EQ(cases->GetChild("18")->GetChild("NeedsList")->Count(), 0);
}

}  // namespace
