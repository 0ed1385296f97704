// hospload, run briefly against a fresh hospd: its report, and its check of the database.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "HospdProcess.h"
#include "HosploadRun.h"
#include "SqliteProbe.h"

namespace {

std::string Ports(const HospdProcess& server) {
  return "--data-port " + std::to_string(server.DataPort()) + " --function-port " +
         std::to_string(server.FunctionPort());
}

}  // namespace

// 8 clients for 3 seconds: every kind of request is reported with its percentiles, the 27 open
// demo cases are approved once each, and the database holds exactly that.
TEST(LoadToolTest, BriefRunApprovesEveryOpenCaseOnce) {
  const HospdProcess server;
  const HosploadOutcome run =
      RunHospload(Ports(server) + " --clients 8 --seconds 3 --db " + server.DatabasePath(), [] {});
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* line :
       {"p50 ms", "p90 ms", "p99 ms", "max ms", "req/s", "data connect+handshake",
        "Personnel query", "getdoctorcases", "approval", "all requests"}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_NE(run.output.find("approvals: 27 cases approved, 0 approvals not confirmed"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("database check: ok"), std::string::npos) << run.output;
  SqliteProbe db(server.DatabasePath());
  EXPECT_EQ(db.Value("SELECT COUNT(*) FROM Approvals"), "27");
  EXPECT_EQ(db.Value("SELECT COUNT(*) FROM Cases WHERE f25 = 'Y'"), "30");
}

// A change the clients did not make, slipped in during the run, fails the check; the servers
// are taken from a Hosp.ini.
TEST(LoadToolTest, ForeignChangeFailsTheCheck) {
  const HospdProcess server;
  const std::string ini = server.DataDir() + "/Hosp.ini";
  WriteBytes(ini, ClientIni(server));
  const HosploadOutcome run = RunHospload(
      "--ini " + ini + " --clients 2 --seconds 2 --db " + server.DatabasePath(), [&server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        SqliteProbe(server.DatabasePath())
            .Execute("UPDATE Needs SET pc12 = 'changed' WHERE Seq = 1");
      });
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find("Needs changed"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("hospload: FAILED"), std::string::npos) << run.output;
}
