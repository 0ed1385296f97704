// The walk over the function server's answer: cases, fields and needs, and the members
// that are not what the walk expects.
#include "CaseListReader.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "RowName.h"

#include "cJSON.h"

namespace {

std::string Describe(const CaseFields& fields) {
  std::string text;
  for (int i = 0; i < fields.Count(); ++i) text += (i ? ";" : "") + std::string(fields[i]);
  return "{" + text + "}";
}

// One case reads key{fields}[needkey{fields},...]; cases are joined by "|".
std::string WalkAndDescribe(const std::string& answer_text, WalkedCases walked = WalkedCases::Kept,
                            WalkThreads threads = WalkThreads::One) {
  cJSON answer(answer_text);
  std::string text;
  WalkCaseList(
      answer,
      [&text](std::unique_ptr<ListBoxObjectClass> item) {
        if (!text.empty()) text += "|";
        text += item->CaseKey + Describe(item->Fields) + "[";
        for (std::size_t i = 0; i < item->Needs.size(); ++i) {
          text += (i ? "," : "") + item->Needs[i].Key + Describe(item->Needs[i].Object->Fields);
        }
        text += "]";
      },
      walked, threads);
  return text;
}

struct WalkCase {
  const char* name;
  const char* answer;
  const char* expected;
};

void PrintTo(const WalkCase& row, std::ostream* out) { *out << row.name; }

class CaseListReaderTest : public ::testing::TestWithParam<WalkCase> {};

// Each answer gives exactly the listed cases, needs and fields, and never crashes.
TEST_P(CaseListReaderTest, ListsWhatTheAnswerHolds) {
  EXPECT_EQ(WalkAndDescribe(GetParam().answer), GetParam().expected);
  // Dropping each case's node behind the walk changes none of the case objects.
  EXPECT_EQ(WalkAndDescribe(GetParam().answer, WalkedCases::Released), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CaseListReaderTest,
    ::testing::Values(
        WalkCase{"EmptyObject", "{}", ""}, WalkCase{"EmptyCaseList", R"({"CaseList":{}})", ""},
        WalkCase{"OneFullCase",
                 R"({"CaseList":{"7":{"FieldList":{"pa10":"Anna","f13":20240131},)"
                 R"("NeedsList":{"1":{"FieldList":{"pd12":"Walker","pt11":"ordered"}}}}}})",
                 "7{pa10=Anna;f13=20240131}[1{pd12=Walker;pt11=ordered}]"},
        WalkCase{"AnswerOrderKept", R"({"CaseList":{"30":{},"4":{},"17":{}}})",
                 "30{}[]|4{}[]|17{}[]"},
        WalkCase{"NeedsInAnswerOrder", R"({"CaseList":{"1":{"NeedsList":{"b":{},"a":{},"c":{}}}}})",
                 "1{}[b{},a{},c{}]"},
        WalkCase{"NullFieldReadsEmpty",
                 R"({"CaseList":{"1":{"FieldList":{"pa10":null,"pa12":"Koch"}}}})",
                 "1{pa12=Koch}[]"},
        WalkCase{"NamesIgnoreLetterCase",
                 R"({"caselist":{"1":{"fieldlist":{"PA10":"A"},)"
                 R"("NEEDSLIST":{"n":{"FieldList":{"pd12":"x"}}}}}})",
                 "1{PA10=A}[n{pd12=x}]"},
        // Lines that set no field: an empty value, a name alone, a quoted "null".
        WalkCase{"LinesWithoutValueSetNothing",
                 R"({"CaseList":{"1":{"FieldList":{"pa10":"","f1":"C"}},)"
                 R"("2":{"FieldList":{"f2","f1":"C"}},"3":{"FieldList":{"f3":"null","f1":"C"}}}})",
                 "1{f1=C}[]|2{f1=C}[]|3{f1=C}[]"},
        WalkCase{"NameGivenTwiceKeepsTheLastValue",
                 R"({"CaseList":{"1":{"FieldList":{"pa10":"A","PA10":"B","f1":"C"}}}})",
                 "1{PA10=B;f1=C}[]"},
        // The second line's name is "a" too: its value is the first line's, as by name.
        WalkCase{"KeyHoldingEqualsReadsFirstMatch",
                 R"({"CaseList":{"1":{"FieldList":{"a":"1","a=b":"2"}}}})", "1{a=1}[]"},
        WalkCase{"OtherMembersIgnored", R"({"Status":"ok","CaseList":{"1":{"Extra":[1,2]}}})",
                 "1{}[]"},
        WalkCase{"CaseListPlainValue", R"({"CaseList":5})", ""},
        WalkCase{"CaseListText", R"({"CaseList":"none"})", ""},
        WalkCase{"CaseListArray", R"({"CaseList":[{"FieldList":{}},2]})", ""},
        WalkCase{"CasePlainValueSkipped", R"({"CaseList":{"1":5,"2":{"FieldList":{"pa10":"B"}}}})",
                 "2{pa10=B}[]"},
        WalkCase{"CaseArraySkipped", R"({"CaseList":{"1":[1,2],"2":{}}})", "2{}[]"},
        WalkCase{"CaseNullSkipped", R"({"CaseList":{"1":null,"2":{}}})", "2{}[]"},
        WalkCase{"FieldListPlainValue", R"({"CaseList":{"1":{"FieldList":"x"}}})", "1{}[]"},
        WalkCase{"FieldListArray", R"({"CaseList":{"1":{"FieldList":["a","b"]}}})", "1{}[]"},
        WalkCase{"NeedsListPlainValue", R"({"CaseList":{"1":{"NeedsList":3}}})", "1{}[]"},
        WalkCase{"NeedsListArray", R"({"CaseList":{"1":{"NeedsList":[{"FieldList":{}}]}}})",
                 "1{}[]"},
        WalkCase{"NeedPlainValueSkipped",
                 R"({"CaseList":{"1":{"NeedsList":{"a":5,"b":{"FieldList":{"pd12":"W"}}}}}})",
                 "1{}[b{pd12=W}]"},
        WalkCase{"NeedArraySkipped", R"({"CaseList":{"1":{"NeedsList":{"a":[],"b":{}}}}})",
                 "1{}[b{}]"},
        WalkCase{"NeedFieldListArray",
                 R"({"CaseList":{"1":{"NeedsList":{"a":{"FieldList":[1]}}}}})", "1{}[a{}]"}),
    RowName());

// A big answer walked on two threads as on one: each case comes once, whole and in answer order,
// and a released walk drops every case's node, from both halves.
TEST(CaseListReaderBigTest, WalksABigAnswerLikeASmallOne) {
  std::string text = "{\"CaseList\":{";
  std::string expected;
  for (int i = 0; i < 9001; ++i) {
    const std::string n = std::to_string(i);
    text += (i ? ",\"" : "\"") + n + "\":";
    if (i % 97 == 5) {  // not an object: not listed
      text += "5";
      continue;
    }
    text += "{\"FieldList\":{\"pa10\":\"P" + n + "\"},\"NeedsList\":{";
    expected += (expected.empty() ? "" : "|") + n + "{pa10=P" + n + "}[";
    for (int k = 0; k < i % 3; ++k) {
      text += std::string(k ? "," : "") + "\"n" + std::to_string(k) +
              "\":{\"FieldList\":{\"pd12\":\"W" + n + "\"}}";
      expected += (k ? "," : "") + ("n" + std::to_string(k)) + "{pd12=W" + n + "}";
    }
    text += "}}";
    expected += "]";
  }
  text += "}}";
  EXPECT_EQ(WalkAndDescribe(text), expected);
  EXPECT_EQ(WalkAndDescribe(text, WalkedCases::Kept, WalkThreads::Two), expected);
  EXPECT_EQ(WalkAndDescribe(text, WalkedCases::Released, WalkThreads::Two), expected);
  cJSON answer(text);
  int walked = 0;
  WalkCaseList(
      answer, [&walked](std::unique_ptr<ListBoxObjectClass>) { ++walked; }, WalkedCases::Released,
      WalkThreads::Two);
  EXPECT_EQ(walked, 9001 - 93);
  const cJSON* cases = answer.GetChild("CaseList");
  ASSERT_NE(cases, nullptr);
  for (int i = 0; i < cases->Count(); ++i) ASSERT_EQ(cases->ChildAt(i), nullptr) << i;
}

}  // namespace
