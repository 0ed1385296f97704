// The function server's case lists, read the way the client's case list window reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "CaseListReader.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"
#include "cJSON.h"

namespace {

class FunctionServerTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  static void TearDownTestSuite() { servers_.StopAll(); }

  HospdProcess& Server() const { return servers_.Get(GetParam()); }

  // The answer to the client's own request text for the physician `doctor_seq`.
  std::unique_ptr<cJSON> DoctorCases(const std::string& doctor_seq) {
    cJSON request;
    request.SetValue("ServerCommand", "getdoctorcases");
    request.SetValue("DoctorSeq", doctor_seq);
    return Exchange(request.GetText());
  }

  std::unique_ptr<cJSON> Exchange(const std::string& text) {
    const auto connection = OpenFunctionConnection(Server());
    EXPECT_TRUE(connection->ExchangeText(text));
    return std::make_unique<cJSON>(connection->AnswerText);
  }

  static std::vector<std::string> CaseKeys(cJSON& answer) {
    std::vector<std::string> keys;
    cJSON* cases = answer.GetChild("CaseList");
    for (int i = 0; i < cases->Count(); ++i) keys.push_back(cases->Items().KeyAt(i));
    return keys;
  }

  static StoreServers servers_;
};

StoreServers FunctionServerTest::servers_;

std::vector<std::string> Column(DbProbe& db, const std::string& sql) {
  std::vector<std::string> values;
  for (const auto& row : db.Rows(sql)) values.push_back(row[0]);
  return values;
}

// Bytes 1 to 255, the dialect's marks, blanks and line ends more often than the rest, and now
// and then a whole value of a kind that went wrong before.
std::string RandomValue(std::mt19937& random) {
  static const std::string kMarks = "\"'\\,:{}[] \t\r\n=";
  static const char* const kWhole[] = {"",           " ",           "\t",       "null",
                                       "trailing\\", "Quote\"Name", "\\\"x\"'", "O'Brien \"Bob\""};
  if (random() % 6 == 0) return kWhole[random() % std::size(kWhole)];
  std::string value(1 + random() % 10, ' ');
  for (char& c : value) {
    c = random() % 2 == 0 ? kMarks[random() % kMarks.size()]
                          : static_cast<char>(1 + random() % 255);
  }
  return value;
}

// Any bytes as an SQL text literal of the store (PostgreSQL: each byte a LATIN1 character, as
// the server's connections send them).
std::string SqlText(std::string_view value, StoreKind kind) {
  static const char kHex[] = "0123456789ABCDEF";
  if (value.empty()) return "''";
  std::string hex;
  for (const char c : value) {
    hex += kHex[static_cast<unsigned char>(c) >> 4];
    hex += kHex[static_cast<unsigned char>(c) & 15];
  }
  if (kind == StoreKind::Postgres) return "convert_from(decode('" + hex + "', 'hex'), 'LATIN1')";
  return "CAST(X'" + hex + "' AS TEXT)";
}

// The reader gave back the stored text; or, for a value with both kinds of quote (which may
// have no written form at all) or the text null, the same text with some quotes, commas,
// brackets, braces or that n as "?". `inexact` counts the latter.
::testing::AssertionResult ReadAsStored(const std::string& stored, const std::string& read,
                                        int& inexact) {
  if (read == stored) return ::testing::AssertionSuccess();
  const bool both_quotes =
      stored.find('"') != std::string::npos && stored.find('\'') != std::string::npos;
  bool only_marks = read.size() == stored.size() && (both_quotes || stored == "null");
  for (std::size_t i = 0; only_marks && i < stored.size(); ++i) {
    only_marks =
        read[i] == stored[i] ||
        (read[i] == '?' && std::string_view("\"',[]{}n").find(stored[i]) != std::string_view::npos);
  }
  if (!only_marks)
    return ::testing::AssertionFailure() << "stored [" << stored << "], read [" << read << "]";
  ++inexact;
  return ::testing::AssertionSuccess();
}

const char* const kCaseFields[] = {"pa10", "pa12", "pa14", "ho10", "f12",
                                   "f13",  "f22",  "f25",  "f30"};
const char* const kNeedFields[] = {"pd12", "pc12", "pt11"};

}  // namespace

// The open cases come in discharge-date order with the fields and needs the database holds.
TEST_P(FunctionServerTest, CaseListMatchesTheDatabase) {
  const auto answer = DoctorCases("1005");
  const auto db = OpenProbe(Server());
  const auto expected =
      Column(*db, "SELECT Seq FROM Cases WHERE DoctorSeq = 1005 AND f25 <> 'Y' ORDER BY f13, Seq");
  ASSERT_EQ(CaseKeys(*answer), expected);
  ASSERT_EQ(expected.size(), 7u);

  cJSON* cases = answer->GetChild("CaseList");
  for (const auto& seq : expected) {
    SCOPED_TRACE(seq);
    cJSON* entry = cases->GetChild(seq);
    cJSON* fields = entry->GetChild("FieldList");
    const auto row = db->Rows("SELECT pa10, pa12, ho10, f13, f22 FROM Cases WHERE Seq = " + seq)[0];
    const char* names[] = {"pa10", "pa12", "ho10", "f13", "f22"};
    for (std::size_t i = 0; i < row.size(); ++i) EXPECT_EQ(fields->GetValue(names[i]), row[i]);
    EXPECT_EQ(fields->GetValue("f13").size(), 8u);

    const auto needs = db->Rows("SELECT Seq, pd12, pc12, pt11 FROM Needs WHERE CaseSeq = " + seq +
                                " ORDER BY Seq");
    if (needs.empty()) {
      EXPECT_EQ(entry->KindOf("NeedsList"), JSON_NULL) << "no needs: no NeedsList member";
      continue;
    }
    cJSON* need_list = entry->GetChild("NeedsList");
    ASSERT_EQ(need_list->Count(), static_cast<int>(needs.size()));
    for (int i = 0; i < need_list->Count(); ++i) {
      const auto& need = needs[static_cast<std::size_t>(i)];
      EXPECT_EQ(need_list->Items().KeyAt(i), need[0]);
      cJSON* need_fields = need_list->ChildAt(i)->GetChild("FieldList");
      EXPECT_EQ(need_fields->GetValue("pd12"), need[1]);
      EXPECT_EQ(need_fields->GetValue("pc12"), need[2]);
      EXPECT_EQ(need_fields->GetValue("pt11"), need[3]);
    }
  }
}

// Requests that yield no case list answer "NoCases" or "Error" with a text to show.
TEST_P(FunctionServerTest, AnswersWithoutCases) {
  struct Row {
    const char* name;
    std::string request;
    const char* member;
  };
  const Row rows[] = {
      {"physician without open cases", "{ServerCommand:getdoctorcases,DoctorSeq:1004}", "NoCases"},
      {"nurse", "{ServerCommand:getdoctorcases,DoctorSeq:1003}", "Error"},
      {"unknown sequence", "{ServerCommand:getdoctorcases,DoctorSeq:424242}", "Error"},
      {"sequence that is no number", "{ServerCommand:getdoctorcases,DoctorSeq:abc}", "Error"},
      {"no sequence", "{ServerCommand:getdoctorcases}", "Error"},
      {"unknown command", "{ServerCommand:getnursecases,DoctorSeq:1001}", "Error"},
      {"no JSON at all", "hello", "Error"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto answer = Exchange(row.request);
    EXPECT_FALSE(answer->GetValue(row.member).empty());
    EXPECT_EQ(answer->Count(), 1) << "only the one member";
  }
}

// An approved case is gone from the physician's next case list; the others stay in order.
TEST_P(FunctionServerTest, ApprovedCaseLeavesTheList) {
  const auto before = CaseKeys(*DoctorCases("1002"));
  ASSERT_EQ(before.size(), 8u);
  const auto data = OpenDataConnection(Server());
  ASSERT_TRUE(data->UpdateRecord("Cases", before[2], Fields("f25=Y")));

  auto expected = before;
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(CaseKeys(*DoctorCases("1002")), expected);
}

// Field values with the dialect's special characters reach the client unchanged.
TEST_P(FunctionServerTest, ValuesSurviveTheDialect) {
  const std::vector<std::string> values = {"O'Brien",
                                           "Smith, Jr.",
                                           "a\\b",
                                           "a\\\\b",
                                           "{braced}",
                                           "[1,2]",
                                           "true",
                                           "0",
                                           "12:30",
                                           " padded ",
                                           "x=y",
                                           "M\xfc"
                                           "ller"};
  const auto db = OpenProbe(Server());
  db->Execute(
      "INSERT INTO Personnel (Seq, Email, PhysicianMark) VALUES (2001, 'edge@hospital.example', "
      "'Y')");
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::string quoted;
    for (const char c : values[i]) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    db->Execute("INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (" +
                std::to_string(9000 + i) + ", 2001, '" + quoted + "', '2099010" +
                std::to_string(i % 10) + "')");
  }
  const auto answer = DoctorCases("2001");
  cJSON* cases = answer->GetChild("CaseList");
  ASSERT_EQ(cases->Count(), static_cast<int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) {
    cJSON* entry = cases->GetChild(std::to_string(9000 + i));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetChild("FieldList")->GetValue("pa10"), values[i]);
  }
}

// Random texts stored in the database reach the client's case list reading as they are stored:
// case fields, needs and the "NoCases" text, for every byte value 1 to 255 and side by side.
TEST_P(FunctionServerTest, StoredTextReachesTheCaseListExactly) {
  std::mt19937 random(20250314);
  const auto db = OpenProbe(Server());
  int inexact = 0;
  for (int doctor = 3001; doctor <= 3003; ++doctor) {
    SCOPED_TRACE(doctor);
    std::map<std::string, std::map<std::string, std::string>> stored;  // key -> field -> text
    db->Execute("BEGIN");
    db->Execute("INSERT INTO Personnel (Seq, Email, PhysicianMark) VALUES (" +
                std::to_string(doctor) + ", 'random" + std::to_string(doctor) +
                "@h.example', 'Y')");
    for (int c = 0; c < 40; ++c) {
      const std::string seq = std::to_string(doctor * 100 + c);
      auto& fields = stored[seq];
      std::string columns = "Seq, DoctorSeq";
      std::string values = seq + ", " + std::to_string(doctor);
      for (const char* name : kCaseFields) {
        std::string value = RandomValue(random);
        if (std::string_view(name) == "f25" && (value == "Y" || value == "y")) value = "N";
        fields[name] = value;
        columns += std::string(", ") + name;
        values += ", " + SqlText(value, GetParam());
      }
      db->Execute("INSERT INTO Cases (" + columns + ") VALUES (" + values + ")");
      for (int n = 0; n < static_cast<int>(random() % 4); ++n) {
        const std::string need = std::to_string(doctor * 1000 + c * 10 + n);
        auto& need_fields = stored[seq + "/" + need];
        std::string need_values = need + ", " + seq;
        for (const char* name : kNeedFields) {
          need_fields[name] = RandomValue(random);
          need_values += ", " + SqlText(need_fields[name], GetParam());
        }
        db->Execute("INSERT INTO Needs (Seq, CaseSeq, pd12, pc12, pt11) VALUES (" + need_values +
                    ")");
      }
    }
    db->Execute("COMMIT");

    const auto connection = OpenFunctionConnection(Server());
    ASSERT_TRUE(connection->ExchangeText(
        "{ServerCommand:getdoctorcases,DoctorSeq:" + std::to_string(doctor) + "}"));
    cJSON answer(connection->AnswerText);
    std::vector<std::unique_ptr<ListBoxObjectClass>> cases;
    WalkCaseList(answer, [&cases](std::unique_ptr<ListBoxObjectClass> item) {
      cases.push_back(std::move(item));
    });
    const auto order =
        Column(*db, "SELECT Seq FROM Cases WHERE DoctorSeq = " + std::to_string(doctor) +
                        " ORDER BY f13, Seq");
    ASSERT_EQ(cases.size(), order.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const ListBoxObjectClass& item = *cases[i];
      ASSERT_EQ(item.CaseKey, order[i]);
      EXPECT_EQ(item.Fields.Value("Seq"), item.CaseKey);
      for (const auto& [name, value] : stored[item.CaseKey]) {
        EXPECT_TRUE(ReadAsStored(value, item.Fields.Value(name), inexact)) << name;
      }
      std::vector<std::string> need_keys;
      for (const auto& [key, fields] : stored) {
        if (key.starts_with(item.CaseKey + "/"))
          need_keys.push_back(key.substr(item.CaseKey.size() + 1));
      }
      ASSERT_EQ(item.Needs.size(), need_keys.size());
      for (std::size_t n = 0; n < need_keys.size(); ++n) {
        EXPECT_EQ(item.Needs[n].Key, need_keys[n]);
        for (const auto& [name, value] : stored[item.CaseKey + "/" + need_keys[n]]) {
          EXPECT_TRUE(ReadAsStored(value, item.Needs[n].Object->Fields.Value(name), inexact))
              << name;
        }
      }
    }
  }

  // The physician's name in "NoCases": title, first and last name, each random.
  for (int doctor = 3101; doctor <= 3130; ++doctor) {
    std::string name;
    std::string values;
    for (int part = 0; part < 3; ++part) {
      std::string value = RandomValue(random);
      if (value.empty()) value = "x";
      name += (part > 0 ? " " : "") + value;
      values += ", " + SqlText(value, GetParam());
    }
    db->Execute(
        "INSERT INTO Personnel (Seq, Email, PhysicianMark, Title, FirstName, LastName) "
        "VALUES (" +
        std::to_string(doctor) + ", 'none" + std::to_string(doctor) + "@h.example', 'Y'" + values +
        ")");
    const auto answer = DoctorCases(std::to_string(doctor));
    EXPECT_TRUE(ReadAsStored("There are no discharges awaiting approval for " + name + ".",
                             answer->GetValue("NoCases"), inexact));
  }
  // Values that lost characters are named in the log.
  if (inexact > 0) {
    EXPECT_NE(Server().LogText().find(" FieldList pa"), std::string::npos) << Server().LogText();
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, FunctionServerTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);
