// Several hospd servers on one PostgreSQL database: approvals recorded exactly once, a killed
// server and a restarted database survived, a database that cannot be reached at start, and
// one audit chain from both servers under load.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DbProbe.h"
#include "HosploadRun.h"
#include "Loopback.h"
#include "PostgresServer.h"
#include "ServerTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ServerArgument(const HospdProcess& server) {
  return " --server 127.0.0.1:" + std::to_string(server.DataPort()) + ":" +
         std::to_string(server.FunctionPort());
}

// When hospload's report says server `number` last answered, in seconds into the run.
double LastAnswer(const std::string& output, int number) {
  const std::size_t line = output.find("server " + std::to_string(number) + " ");
  const std::string label = "last answer at ";
  const std::size_t at = output.find(label, line);
  if (line == std::string::npos || at == std::string::npos) return -100;
  return std::atof(output.c_str() + at + label.size());
}

constexpr int kLoadPhysicians = 100;
constexpr int kCasesEach = 100;

// 100 more physicians with 100 open cases each, so that approvals go on during the whole run.
void AddLoadData(DbProbe& db) {
  db.Execute(
      "INSERT INTO Personnel (Seq, Email, Title, LastName, Password, PhysicianMark) "
      "SELECT 3000 + i, 'load' || i || '@hospital.example', 'Dr.', 'Load' || i, 'demo', 'Y' "
      "FROM generate_series(0, " +
      std::to_string(kLoadPhysicians - 1) + ") i");
  db.Execute(
      "INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) "
      "SELECT 100000 + i, 3000 + i % " +
      std::to_string(kLoadPhysicians) +
      ", 'Load', '2099' || lpad((i % 1000)::text, 4, '0') "
      "FROM generate_series(0, " +
      std::to_string(kLoadPhysicians * kCasesEach - 1) + ") i");
}

// hospload's arguments: 100 clients for 30 seconds on both servers, logging in as the load
// physicians in turn, with `options` besides.
std::string LoadArguments(const HospdProcess& first, const HospdProcess& second,
                          const std::string& options) {
  std::string arguments =
      ServerArgument(first) + ServerArgument(second) + " --clients 100 --seconds 30" + options;
  for (int i = 0; i < kLoadPhysicians; ++i) {
    arguments += " --login load" + std::to_string(i) + "@hospital.example:demo";
  }
  return arguments;
}

}  // namespace

// Servers on one database approving the same cases at the same moment: each case gets one
// approval and one audit row, and every approval is answered as done.
TEST(MultiServerTest, SimultaneousApprovalsAreRecordedOnce) {
  const std::string url = PostgresServer::Shared().CreateDatabase();
  {
    const HospdProcess first({}, url);
    const HospdProcess second({}, url, false);
    constexpr int kPerServer = 6;
    const std::vector<std::string> cases{"5001", "5002", "5003", "5004", "5005", "5006"};
    std::vector<std::unique_ptr<dbServerConnection>> connections;
    for (int i = 0; i < 2 * kPerServer; ++i) {
      connections.push_back(OpenDataConnection(i % 2 == 0 ? first : second));
      ASSERT_TRUE(connections.back()->IsConnected());
    }
    for (const std::string& seq : cases) {
      std::vector<std::thread> threads;
      std::vector<int> done(connections.size(), 0);
      for (std::size_t i = 0; i < connections.size(); ++i) {
        threads.emplace_back(
            [&, i] { done[i] = connections[i]->UpdateRecord("Cases", seq, Fields("f25=Y")); });
      }
      for (auto& thread : threads) thread.join();
      EXPECT_EQ(std::count(done.begin(), done.end(), 1), static_cast<long>(connections.size()))
          << seq;
    }
    PostgresProbe db(url);
    EXPECT_EQ(db.Value("SELECT count(*) FROM Approvals WHERE CaseSeq BETWEEN 5001 AND 5006"), "6");
    EXPECT_EQ(db.Value("SELECT count(DISTINCT CaseSeq) FROM Approvals"),
              db.Value("SELECT count(*) FROM Approvals"));
  }
  PostgresServer::Shared().DropDatabase(url);
}

// A database that cannot be reached ends the start with the reason and a non-zero status
// within 30 s: one that refuses the connection, and one that takes it and never answers.
TEST(MultiServerTest, UnreachableDatabaseFailsTheStart) {
  SilentListener silent;
  for (const std::string& url :
       {std::string("postgresql://hosp@127.0.0.1:1/hosp"),
        "postgresql://hosp@127.0.0.1:" + std::to_string(silent.Port()) + "/hosp"}) {
    SCOPED_TRACE(url);
    const auto started = Clock::now();
    try {
      HospdProcess server({}, url, false);
      ADD_FAILURE() << "hospd started without its database";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("hospd: cannot connect to the database: "),
                std::string::npos)
          << error.what();
    }
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
  }
}

// Two servers on one database under 100 clients for 30 s: the database crashes and comes
// back at 8 s, the second server is killed at 18 s. Every confirmed approval is recorded
// exactly once, both servers answered again after the database came back without being
// restarted themselves, and the first one went on to the end.
TEST(MultiServerTest, LoadSurvivesAKilledServerAndARestartedDatabase) {
  PostgresServer postgres;  // its own, as it is stopped and started during the run
  const std::string url = postgres.CreateDatabase();
  // Every client is on this machine, one address; once the second server is killed, the first
  // holds both connections of all 100, and reconnections come on top for a moment.
  const std::vector<std::string> one_address{"--max-connections-per-address", "512"};
  HospdProcess first(one_address, url);
  HospdProcess second(one_address, url, false);
  {
    PostgresProbe db(url);
    AddLoadData(db);
  }
  const std::string arguments =
      LoadArguments(first, second, " --tolerate-failures --database " + url);
  // The database's stop and start take longer on a busy machine, so the kill's moment is taken
  // as it happens.
  double killed_at = 0;
  const HosploadOutcome run = RunHospload(arguments, [&] {
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(8));
    postgres.Stop(true);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    postgres.Start();
    std::this_thread::sleep_for(std::chrono::seconds(9));
    second.Kill();
    killed_at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("database check: ok"), std::string::npos) << run.output;
  EXPECT_GT(LastAnswer(run.output, 1), 25) << run.output;
  EXPECT_GT(LastAnswer(run.output, 2), 10)
      << "the second server answered after the database came back\n"
      << run.output;
  EXPECT_LT(LastAnswer(run.output, 2), killed_at + 2) << run.output;

  PostgresProbe db(url);
  EXPECT_GT(std::atoi(db.Value("SELECT count(*) FROM Approvals").c_str()), 100);
  EXPECT_EQ(db.Value("SELECT count(*) FROM (SELECT CaseSeq FROM Approvals GROUP BY CaseSeq "
                     "HAVING count(*) > 1) twice"),
            "0");
  const auto after = OpenDataConnection(first);
  NameValueList record;
  EXPECT_TRUE(after->QueryTable("Personnel", 4, "load7@hospital.example", "", record, "", ""));
  EXPECT_EQ(first.Stop(), 0) << first.LogText();
}

// Two servers with one audit key approve at once under 100 clients for 30 s: every approval
// has its record, and the one chain both appended to verifies.
TEST(MultiServerTest, ApprovalsUnderLoadKeepOneAuditChain) {
  const std::string url = PostgresServer::Shared().CreateDatabase();
  {
    const std::vector<std::string> one_address{"--max-connections-per-address", "512"};
    HospdProcess first(one_address, url);
    std::vector<std::string> same_key = one_address;
    same_key.insert(same_key.end(), {"--audit-key", first.DataDir() + "/audit.key"});
    HospdProcess second(same_key, url, false);
    {
      PostgresProbe db(url);
      AddLoadData(db);
    }
    const std::string arguments = LoadArguments(first, second, " --database " + url);
    const HosploadOutcome run = RunHospload(arguments, [] {});
    EXPECT_EQ(run.status, 0) << run.output;

    PostgresProbe db(url);
    EXPECT_GT(std::atoi(db.Value("SELECT count(*) FROM AuditTrail").c_str()), 100);
    EXPECT_EQ(db.Value("SELECT count(*) FROM Approvals a LEFT JOIN AuditTrail t ON "
                       "t.ApprovalSeq = a.Seq WHERE t.Seq IS NULL"),
              "0");
    EXPECT_EQ(db.Value("SELECT count(DISTINCT Server) FROM AuditTrail"), "2");
    const CommandOutcome verify = RunHospd(
        {"audit", "verify", "--database", url, "--audit-key", first.DataDir() + "/audit.key"});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(first.Stop(), 0) << first.LogText();
    EXPECT_EQ(second.Stop(), 0) << second.LogText();
  }
  PostgresServer::Shared().DropDatabase(url);
}
