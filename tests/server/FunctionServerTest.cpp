// The function server's case lists, read the way the client's case list window reads them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ServerTestSupport.h"
#include "DbProbe.h"
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

    const auto needs =
        db->Rows("SELECT Seq, pd12, pc12, pt11 FROM Needs WHERE CaseSeq = " + seq + " ORDER BY Seq");
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
    db->Execute("INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (" + std::to_string(9000 + i) +
               ", 2001, '" + quoted + "', '2099010" + std::to_string(i % 10) + "')");
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

INSTANTIATE_TEST_SUITE_P(Stores, FunctionServerTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);
