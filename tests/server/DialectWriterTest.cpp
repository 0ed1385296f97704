// The function server's written values, read back by the client's own JSON reader.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cJSON.h"
#include "service/DialectWriter.h"

namespace {

const std::string kBroken = "<document read wrongly>";

// The field pa10 of case 5001 as the case list window takes it from `text`; kBroken when the
// rest of the answer did not survive (f22 of case 5001 is "x", case 5002 and its need follow).
std::string ReadCaseField(const std::string& text) {
  cJSON answer(text);
  cJSON* cases = answer.FindChild("CaseList", false);
  if (answer.Count() != 1 || cases == nullptr || cases->Count() != 2) return kBroken;
  cJSON* first = cases->FindChild("5001", false);
  cJSON* second = cases->FindChild("5002", false);
  if (first == nullptr || second == nullptr || first->Count() != 1 || second->Count() != 2) {
    return kBroken;
  }
  cJSON* fields = first->FindChild("FieldList", false);
  cJSON* needs = second->FindChild("NeedsList", false);
  cJSON* need =
      needs && needs->ChildAt(0) ? needs->ChildAt(0)->FindChild("FieldList", false) : nullptr;
  if (fields == nullptr || fields->Count() != 3 || fields->GetValue("f22") != "x" ||
      need == nullptr || need->GetValue("pd12") != "n") {
    return kBroken;
  }
  return fields->GetValue("pa10");
}

// `written` read by the client's reader as a case field between neighbours of every kind, and
// as the root's "NoCases" text; the value read, or kBroken when the places disagree or the
// document around the value was read wrongly. Each place holds the value once, so that no
// second copy can balance a quote the first left open.
std::string ReadBack(std::string_view written) {
  const std::string w(written);
  const std::string rest = "},5002:{FieldList:{Seq:\"5002\"},NeedsList:{1:{FieldList:{pd12:n}}}}}}";
  const std::string texts[] = {
      "{CaseList:{5001:{FieldList:{Seq:\"5001\",pa10:" + w + ",f22:\"x\"}" + rest,
      "{CaseList:{5001:{FieldList:{Seq:'5001',f22:'x',pa10:" + w + "}" + rest,
      "{ CaseList : { 5001 : { FieldList : { f22 : x , pa10 : " + w + " , Seq : 5001 }" + rest,
  };
  std::string value = ReadCaseField(texts[0]);
  for (const std::string& text : texts) {
    if (ReadCaseField(text) != value) return kBroken;
  }
  cJSON root("{NoCases:" + w + "}");
  return root.Count() == 1 && root.GetValue("NoCases") == value ? value : kBroken;
}

// Every written form whose text the reader could give back as `value`: double-quoted,
// single-quoted or bare, each backslash run of m written as 2m or 2m-1 backslashes.
std::vector<std::string> CandidateForms(std::string_view value) {
  std::vector<std::size_t> runs;  // positions where a backslash run ends
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && (i + 1 == value.size() || value[i + 1] != '\\')) runs.push_back(i);
  }
  std::vector<std::string> forms;
  for (const char* quote : {"\"", "'", ""}) {
    for (std::size_t odd = 0; odd < (std::size_t{1} << runs.size()); ++odd) {
      std::string form = quote;
      std::size_t run = 0;
      for (std::size_t i = 0; i < value.size(); ++i) {
        form += value[i];
        if (value[i] != '\\') continue;
        form += '\\';
        if (run < runs.size() && runs[run] == i && (odd >> run++ & 1) != 0) form.pop_back();
      }
      forms.push_back(form + quote);
    }
  }
  return forms;
}

bool HasExactForm(std::string_view value) {
  for (const std::string& form : CandidateForms(value)) {
    if (ReadBack(form) == value) return true;
  }
  return false;
}

// What the reader gave back is the value, with exactly `replaced` quotes, commas, brackets,
// braces or NULs (or the first letter of "null") sent as "?".
::testing::AssertionResult ReadsBackAsWritten(const std::string& value) {
  std::size_t replaced = 0;
  const std::string written = DialectWriter::Written(value, replaced);
  const std::string read = ReadBack(written);
  if (read.size() != value.size()) {
    return ::testing::AssertionFailure() << "written as " << written << ", read as " << read;
  }
  std::size_t differ = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (read[i] == value[i]) continue;
    ++differ;
    const bool replaceable =
        std::string_view("\"',[]{}\0", 8).find(value[i]) != std::string::npos || value == "null";
    if (read[i] != '?' || !replaceable) {
      return ::testing::AssertionFailure() << "written as " << written << ", read as " << read;
    }
  }
  if (differ != replaced) {
    return ::testing::AssertionFailure()
           << differ << " characters changed, " << replaced << " reported, written as " << written;
  }
  // A NUL would end the answer on the wire, whatever the reader makes of it here.
  const bool carriable = value != "null" && value.find('\0') == std::string::npos;
  if (replaced > 0 && carriable && HasExactForm(value)) {
    return ::testing::AssertionFailure() << replaced << " replaced, but an exact form exists";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace

// The values that reached the client changed before, and the kinds the README names.
TEST(DialectWriterTest, ValuesReadBackExactly) {
  const char* values[] = {"Quote\"Name",
                          "line\nfeed",
                          "carriage\rreturn",
                          "tab\there",
                          " ",
                          "\t",
                          "  both  ",
                          "O'Brien \"Bob\"",
                          "He said \"it's\"",
                          "trailing\\",
                          "\\\"",
                          "a\\\\\"b",
                          "{x:1}",
                          "[1,2]",
                          "a,b:c",
                          "'single'",
                          "\"double\"",
                          "true",
                          "0",
                          "12",
                          "=",
                          "}",
                          "{",
                          "]",
                          "[",
                          ",",
                          "\"",
                          "'",
                          "\\"};
  for (const char* value : values) {
    std::size_t replaced = 0;
    const std::string written = DialectWriter::Written(value, replaced);
    EXPECT_EQ(ReadBack(written), value) << "written as " << written;
    EXPECT_EQ(replaced, 0u) << value;
  }
}

// Every string of up to four characters from the dialect's marks, every byte alone and beside
// each mark, and random longer ones: read back as written, and exact whenever any form is.
TEST(DialectWriterTest, EveryValueReadsBackOrLosesOnlyWhatCannotBeCarried) {
  const std::string marks = "a\"',{}[]\\ ";
  std::vector<std::string> values = {""};
  for (std::size_t begin = 0, length = 1; length <= 4; ++length) {
    const std::size_t end = values.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (const char c : marks) values.push_back(values[i] + c);
    }
    begin = end;
  }
  values.erase(values.begin());
  // Every byte beside every mark, both ways round: no other byte takes part in the dialect.
  for (int byte = 1; byte < 256; ++byte) {
    values.emplace_back(1, static_cast<char>(byte));
    for (const char c : marks) {
      values.push_back(std::string(1, static_cast<char>(byte)) + c);
      values.push_back(std::string(1, c) + static_cast<char>(byte));
    }
  }
  std::mt19937 random(20250314);
  for (int i = 0; i < 1500; ++i) {
    std::string value(5 + random() % 12, ' ');
    for (char& c : value) {
      c = random() % 3 == 0 ? static_cast<char>(random() % 256) : marks[random() % marks.size()];
    }
    values.push_back(value);
  }
  int failures = 0;
  for (const std::string& value : values) {
    const auto result = ReadsBackAsWritten(value);
    if (!result && ++failures <= 10) {
      ADD_FAILURE() << "value [" << value << "]: " << result.message();
    }
  }
  EXPECT_EQ(failures, 0);
}

// Values no form can carry lose the fewest characters to "?", and the writer names them.
TEST(DialectWriterTest, UncarriableCharactersAreNoted) {
  struct Row {
    std::string value;
    std::string read;
  };
  const Row rows[] = {{"null", "?ull"},
                      {"\"'", "?'"},
                      {"x\"y'", "x?y'"},
                      {"\"a'b\"", "\"a?b\""},
                      {std::string("a\0b", 3), "a?b"}};
  DialectWriter writer;
  writer.Open();
  writer.Open("CaseList");
  writer.Member("pa10", "plain");
  for (const Row& row : rows) {
    std::size_t replaced = 0;
    EXPECT_EQ(ReadBack(DialectWriter::Written(row.value, replaced)), row.read);
    EXPECT_EQ(replaced, 1u) << row.read;
    writer.Member("pa12", row.value);
  }
  writer.Close();
  writer.Close();
  EXPECT_EQ(writer.Notes(),
            std::vector<std::string>(std::size(rows), "CaseList pa12: 1 character sent as \"?\""));
}
