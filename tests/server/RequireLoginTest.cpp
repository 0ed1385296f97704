// hospd --require-login and --function-tls through the client's connection: what a request
// without a valid session gets, sessions shared by the servers of one PostgreSQL database,
// the function server's TLS, and the stored hash that a server without --server-login must
// not hand out.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "HosploadRun.h"
#include "PostgresServer.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"
#include "cJSON.h"

namespace {

const std::string kAnna = "anna.weber@hospital.example";
const std::string kLukas = "lukas.brenner@hospital.example";
const std::string kAnnasSeq = "1001";
const std::string kAnnasCase = "5001";
// Sessions end after 3 s without a request, so that a test can outwait one.
const std::vector<std::string> kSessionServer{"--require-login", "--function-tls",
                                              "--session-minutes", "0.05"};

std::unique_ptr<dbServerConnection> OpenSecureFunction(const HospdProcess& server) {
  return std::make_unique<dbServerConnection>("127.0.0.1", std::to_string(server.FunctionPort()),
                                              "", "", true, kAnswerSeconds);
}

// The login as a client with SendPassword=Y makes it; the session its answer names.
std::string SessionOf(const HospdProcess& server, const std::string& email) {
  const auto connection = OpenDataConnection(server);
  NameValueList record;
  if (!connection->QueryTable("Personnel", 4, email, "", record, "", "", Fields("Password=demo"))) {
    return "<login refused>";
  }
  return record.Count() == 29 && record.NameAt(28) == "Session" ? record.ValueAt(28)
                                                                : "<no session line>";
}

enum class Holder { Own, None, OtherPhysician, Expired, Unknown };

struct RefusalRow {
  const char* name;
  Holder holder;
  int code;  // 0: served
};

const RefusalRow kRows[] = {
    {"OwnSession", Holder::Own, 0},
    {"NoSession", Holder::None, 9},
    {"OtherPhysiciansSession", Holder::OtherPhysician, 11},
    {"ExpiredSession", Holder::Expired, 10},
    {"UnknownSession", Holder::Unknown, 10},
};

class RequireLoginTest : public ::testing::TestWithParam<std::tuple<StoreKind, RefusalRow>> {
 public:
  static void TearDownTestSuite() {
    for (auto& [kind, server] : servers_) {
      EXPECT_EQ(server->Stop(), 0) << server->LogText();
      if (!server->Database().empty()) PostgresServer::Shared().DropDatabase(server->Database());
    }
    servers_.clear();
  }

 protected:
  HospdProcess& Server() {
    const StoreKind kind = std::get<0>(GetParam());
    auto& server = servers_[kind];
    if (!server) server = std::make_unique<HospdProcess>(kSessionServer, NewDatabase(kind));
    return *server;
  }

  std::string Token(Holder holder) {
    switch (holder) {
      case Holder::Own:
        return SessionOf(Server(), kAnna);
      case Holder::None:
        return {};
      case Holder::OtherPhysician:
        return SessionOf(Server(), kLukas);
      case Holder::Expired: {
        const std::string token = SessionOf(Server(), kAnna);
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        return token;
      }
      case Holder::Unknown:
        return std::string(64, 'a');
    }
    return {};
  }

  static std::map<StoreKind, std::unique_ptr<HospdProcess>> servers_;
};

std::map<StoreKind, std::unique_ptr<HospdProcess>> RequireLoginTest::servers_;

// Anna's case read, changed and listed with each kind of session: her own is served; without
// one, with another physician's, with one that has ended or never was, each request is refused
// with its code, answers no data (nor "~") and changes nothing.
TEST_P(RequireLoginTest, OnlyTheOwnSessionIsServed) {
  const RefusalRow& row = std::get<1>(GetParam());
  HospdProcess& server = Server();
  const std::string token = Token(row.holder);
  const auto probe = OpenProbe(server);
  const std::string f30_before = probe->Value("SELECT f30 FROM Cases WHERE Seq = " + kAnnasCase);
  const std::string changed = std::string("changed with ") + row.name;

  const auto data = OpenDataConnection(server);
  data->Session = token;
  NameValueList record;
  const bool found = data->QueryTable("Cases", 4, kAnnasCase, "", record, "", "");
  const int query_code = found ? 0 : data->ErrorCode;
  const std::string query_answer = data->AnswerText;
  const bool updated = data->UpdateRecord("Cases", kAnnasCase, Fields("f30=" + changed));

  cJSON request;
  request.SetValue("ServerCommand", "getdoctorcases");
  request.SetValue("DoctorSeq", kAnnasSeq);
  if (!token.empty()) request.SetValue("Session", token);
  const auto function = OpenSecureFunction(server);
  ASSERT_TRUE(function->ExchangeText(request.GetText()));
  const cJSON answer(function->AnswerText);

  const std::string f30_after = probe->Value("SELECT f30 FROM Cases WHERE Seq = " + kAnnasCase);
  if (row.code == 0) {
    EXPECT_TRUE(found);
    EXPECT_EQ(record.Count() > 1 ? record[1] : "", kAnnasSeq);
    EXPECT_TRUE(updated) << data->AnswerText;
    EXPECT_EQ(f30_after, changed);
    EXPECT_EQ(answer.GetValue("Error"), "");
    EXPECT_NE(function->AnswerText.find("CaseList"), std::string::npos);
    // The approval names its physician in the audit trail.
    EXPECT_TRUE(data->UpdateRecord("Cases", kAnnasCase, Fields("f25=Y"))) << data->AnswerText;
    EXPECT_EQ(probe->Value("SELECT Staff FROM AuditTrail ORDER BY Seq DESC LIMIT 1"), kAnna);
    return;
  }
  EXPECT_EQ(query_code, row.code) << query_answer;
  EXPECT_EQ(query_answer.rfind("\"Error: ", 0), 0u) << query_answer;
  EXPECT_FALSE(updated);
  EXPECT_EQ(data->ErrorCode, row.code) << data->AnswerText;
  EXPECT_NE(data->Error, "");
  EXPECT_EQ(f30_after, f30_before);
  EXPECT_NE(answer.GetValue("Error"), "") << function->AnswerText;
  EXPECT_EQ(function->AnswerText.find("CaseList"), std::string::npos);
  EXPECT_EQ(function->AnswerText.find("Schneider"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RequireLoginTest,
    ::testing::Combine(::testing::Values(StoreKind::Sqlite, StoreKind::Postgres),
                       ::testing::ValuesIn(kRows)),
    [](const auto& row) {
      return std::string(std::get<0>(row.param) == StoreKind::Sqlite ? "Sqlite" : "Postgres") +
             std::get<1>(row.param).name;
    });

// A session opened at one server serves at another on the same PostgreSQL database, as when
// a client's two connections reach different servers.
TEST(RequireLoginSharedTest, SessionsServeOnEveryServerOfTheDatabase) {
  const std::string database = PostgresServer::Shared().CreateDatabase();
  {
    HospdProcess first(kSessionServer, database);
    HospdProcess second(kSessionServer, database, false);
    const std::string token = SessionOf(first, kAnna);
    const auto data = OpenDataConnection(second);
    data->Session = token;
    NameValueList record;
    EXPECT_TRUE(data->QueryTable("Cases", 4, kAnnasCase, "", record, "", "")) << data->AnswerText;
  }
  PostgresServer::Shared().DropDatabase(database);
}

// The function port of --function-tls drops a plain client before answering anything; the
// client's TLS connection is answered. hospload, told by "Hosp.ini" to use TLS there and send
// the password, runs against such a server with sessions and keeps every approval.
TEST(RequireLoginSharedTest, FunctionServerSpeaksOnlyTls) {
  HospdProcess server(kSessionServer);
  const auto plain = OpenFunctionConnection(server);
  EXPECT_FALSE(plain->ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:1001}"));
  EXPECT_TRUE(OpenSecureFunction(server)->ExchangeText("{ServerCommand:getdoctorcases}"));

  const std::string ini = server.DataDir() + "/Hosp.ini";
  WriteBytes(ini, ClientIni(server, "SendPassword=Y\n", "Secure=Y\n"));
  const HosploadOutcome load = RunHospload(
      "--ini " + ini + " --clients 4 --seconds 2 --login-once --db " + server.DatabasePath(),
      [] {});
  EXPECT_EQ(load.status, 0) << load.output;
  EXPECT_NE(server.LogText().find("TLS handshake failed"), std::string::npos);
}

class HashLeakTest : public ::testing::TestWithParam<StoreKind> {};

// Passwords hashed while a server without --server-login runs: it answers the records that
// hold a hash as unknown ("~", never the hash at 23) and logs why.
TEST_P(HashLeakTest, StoredHashIsNeverAnswered) {
  const std::string database = NewDatabase(GetParam());
  {
    HospdProcess server({}, database);
    std::vector<std::string> rehash{"rehash-passwords", "--data", server.DataDir()};
    if (!database.empty()) rehash.insert(rehash.end(), {"--database", database});
    const CommandOutcome rehashed = RunHospd(rehash);
    ASSERT_EQ(rehashed.status, 0) << rehashed.err;

    NameValueList record;
    EXPECT_FALSE(OpenDataConnection(server)->QueryTable("Personnel", 4, kAnna, "", record, "", ""));
    EXPECT_EQ(record.Lines(), std::vector<std::string>{"~"});
    EXPECT_NE(server.LogText().find("holds a password hash"), std::string::npos)
        << server.LogText();
  }
  if (!database.empty()) PostgresServer::Shared().DropDatabase(database);
}

INSTANTIATE_TEST_SUITE_P(Stores, HashLeakTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);

}  // namespace
