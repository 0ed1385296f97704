// The same requests against a server on SQLite and one on PostgreSQL, with the same data, give
// the same answers byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DataFrame.h"
#include "PostgresServer.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"

namespace {

struct Request {
  enum Kind { Query, Update, Function } kind;
  std::string text;
};

// Rows both stores get on top of the demo: values the two database systems could order,
// fold or encode differently (8-bit texts, letter case, digits against letters, equal dates).
const char* const kExtraRows[] = {
    "INSERT INTO Personnel (Seq, Email, Title, FirstName, LastName, PhysicianMark) VALUES "
    "(2001, 'Mixed.Case@Hospital.Example', 'Dr.', 'J\xf6rg', 'M\xfcller', 'Y')",
    "INSERT INTO Personnel (Seq, Email, PhysicianMark) VALUES (2002, 'j\xf6rg@hospital.example', "
    "'y')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13, f25) VALUES (9001, 2001, 'M\xfcller', "
    "'20990101', '')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (9002, 2001, 'O''Brien \"Junior\"', 'Z')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (9003, 2001, 'a\\b', 'a')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (9004, 2001, '\xe9t\xe9', '\xe9')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (9005, 2001, 'x', '')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (8999, 2001, 'same date', '20990101')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13, f25) VALUES (9006, 2001, 'approved', '1', 'y')",
    "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (9007, 2001, 'upper', 'A')",
    "INSERT INTO Needs (CaseSeq, pd12, pc12, pt11) VALUES (9001, '', '', 'K\xe4lte'), "
    "(9001, 'first', '', ''), (8999, '', 'only provider', '')",
};

std::string Query(const std::string& table, const std::string& key, const char* list = "4") {
  return "TableName=" + table + "\r\nList=" + list + "\r\nKey=" + key;
}

std::string Update(const std::string& seq, const std::string& fields,
                   const std::string& table = "Cases") {
  return "TableName=" + table + "\r\nSeq=" + seq + (fields.empty() ? "" : "\r\n" + fields);
}

std::string DoctorCases(const std::string& seq) {
  return "{ServerCommand:getdoctorcases,DoctorSeq:" + seq + "}";
}

std::vector<Request> Requests() {
  std::vector<Request> requests;
  for (const char* email :
       {"anna.weber@hospital.example", "LUKAS.BRENNER@hospital.example",
        "marie.koch@hospital.example", "mixed.case@hospital.example", "J\xf6RG@hospital.example",
        "J\xd6rg@hospital.example", "j\xf6rg@hospital.example", "nobody@hospital.example",
        " anna.weber@hospital.example"}) {
    requests.push_back({Request::Query, Query("Personnel", email)});
  }
  for (int seq = 5000; seq <= 5031; ++seq)
    requests.push_back({Request::Query, Query("Cases", std::to_string(seq))});
  for (const char* key : {"9001", "9004", "09002", "-1", "abc", "5001x", "99999999999999999999"}) {
    requests.push_back({Request::Query, Query("Cases", key)});
  }
  requests.push_back({Request::Query, Query("Wards", "1")});
  requests.push_back({Request::Query, Query("Cases", "5001", "3")});
  requests.push_back({Request::Query, Query("Cases", "")});
  for (const char* seq :
       {"1001", "1002", "1003", "1004", "1005", "2001", "2002", "424242", "abc"}) {
    requests.push_back({Request::Function, DoctorCases(seq)});
  }
  requests.push_back({Request::Function, "{ServerCommand:getnursecases,DoctorSeq:1001}"});
  requests.push_back({Request::Function, "hello"});
  for (const auto& [seq, fields] :
       std::vector<std::pair<std::string, std::string>>{{"5001", "f25=Y"},
                                                        {"5001", "f25=Y"},
                                                        {"9001", "f25=y"},
                                                        {"5002", "pa10=K\xf6nig\r\nf30=Heim"},
                                                        {"5003", "f25=Y\r\nf77=x"},
                                                        {"5004", ""},
                                                        {"999999", "f25=Y"},
                                                        {"50x3", "f25=Y"},
                                                        {"5005", "DoctorSeq=1004"},
                                                        {"9002", "f13=0"}}) {
    requests.push_back({Request::Update, Update(seq, fields)});
  }
  requests.push_back({Request::Update, Update("1001", "Password=x", "Personnel")});
  for (const char* key : {"5001", "5002", "9001", "9002"})
    requests.push_back({Request::Query, Query("Cases", key)});
  for (const char* seq : {"1001", "2001"})
    requests.push_back({Request::Function, DoctorCases(seq)});
  return requests;
}

// Every answer text, in request order.
std::vector<std::string> Answers(const HospdProcess& server, const std::vector<Request>& requests) {
  const auto data = OpenDataConnection(server);
  const auto function = OpenFunctionConnection(server);
  std::vector<std::string> answers;
  for (const Request& request : requests) {
    bool sent = false;
    switch (request.kind) {
      case Request::Query:
        sent = data->SendMessage(FrameType::Table, FrameSubtype::TableQuery, request.text);
        break;
      case Request::Update:
        sent = data->SendMessage(FrameType::Table, FrameSubtype::RecordUpdate, request.text);
        break;
      case Request::Function:
        sent = function->ExchangeText(request.text);
        break;
    }
    answers.push_back(sent ? (request.kind == Request::Function ? function : data)->AnswerText
                           : "<no answer>");
  }
  return answers;
}

}  // namespace

TEST(StoreParityTest, SameRequestsGiveTheSameAnswers) {
  const std::string url = PostgresServer::Shared().CreateDatabase();
  {
    HospdProcess sqlite;
    HospdProcess postgres({}, url);
    for (const HospdProcess* server : {&sqlite, &postgres}) {
      const auto probe = OpenProbe(*server);
      for (const char* sql : kExtraRows) probe->Execute(sql);
    }
    const std::vector<Request> requests = Requests();
    const std::vector<std::string> expected = Answers(sqlite, requests);
    const std::vector<std::string> answers = Answers(postgres, requests);
    ASSERT_EQ(answers.size(), requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      EXPECT_EQ(answers[i], expected[i]) << "request " << i << ": " << requests[i].text;
      EXPECT_NE(expected[i], "<no answer>") << requests[i].text;
    }
    // The updates above reached both databases alike.
    for (const HospdProcess* server : {&sqlite, &postgres}) {
      EXPECT_EQ(OpenProbe(*server)->Value("SELECT count(*) FROM Approvals"), "2");
    }
    EXPECT_EQ(postgres.Stop(), 0) << postgres.LogText();
  }
  PostgresServer::Shared().DropDatabase(url);
}
