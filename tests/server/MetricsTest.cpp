// The monitoring endpoint of the real hospd, read with curl after known traffic.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "PostgresServer.h"
#include "RawConnection.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"

namespace {

struct Reply {
  int status = 0;
  std::string body;
};

Reply Get(const HospdProcess& server, const std::string& path) {
  const CommandOutcome outcome =
      RunProgram("curl", {"-s", "-m", "5", "-w", "\n%{http_code}",
                          "http://127.0.0.1:" + std::to_string(server.MetricsPort()) + path});
  const auto last = outcome.out.rfind('\n');
  if (outcome.status != 0 || last == std::string::npos) return {};
  return {std::atoi(outcome.out.c_str() + last + 1), outcome.out.substr(0, last)};
}

// The value of the sample `name` (with its labels, as written), or -1 when it is missing.
double Sample(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stod(text.substr(at + name.size() + 2));
}

}  // namespace

// Every request, connection, refusal and failed login is counted where the scraper reads it.
TEST(MetricsTest, CountsKnownTraffic) {
  HospdProcess server(
      {"--server-login", "--metrics", "127.0.0.1:0", "--max-connections-per-address", "2"});
  ASSERT_GT(server.MetricsPort(), 0);
  EXPECT_EQ(Get(server, "/healthz").status, 200);
  EXPECT_EQ(Get(server, "/readyz").status, 200);
  EXPECT_EQ(Get(server, "/nothing").status, 404);

  {
    const auto data = OpenDataConnection(server);  // its handshake
    ASSERT_TRUE(data->IsConnected());
    NameValueList record;
    NameValueList right;
    right.Add("Password=demo");
    NameValueList wrong;
    wrong.Add("Password=guess");
    EXPECT_TRUE(
        data->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", "", right));
    EXPECT_FALSE(
        data->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", "", wrong));
    const Reply during = Get(server, "/metrics");
    EXPECT_EQ(Sample(during.body, "hospd_connections_open{port=\"data\"}"), 1) << during.body;
  }
  RawConnection function(server.FunctionPort(), "127.0.0.2");
  ASSERT_TRUE(function.Send(std::string("{ServerCommand:getdoctorcases,DoctorSeq:1001}") + '\0'));
  EXPECT_FALSE(function.ReadAnswer(std::chrono::seconds(5)).empty());
  const RawConnection second(server.FunctionPort(), "127.0.0.2");
  RawConnection refused(server.FunctionPort(), "127.0.0.2");
  EXPECT_TRUE(refused.ClosedByServer(std::chrono::seconds(5)));

  const Reply metrics = Get(server, "/metrics");
  ASSERT_EQ(metrics.status, 200);
  const std::string& text = metrics.body;
  const std::vector<std::pair<std::string, double>> expected = {
      {"hospd_requests_total{kind=\"handshake\",outcome=\"ok\"}", 1},
      {"hospd_requests_total{kind=\"table_query\",outcome=\"ok\"}", 1},
      {"hospd_requests_total{kind=\"table_query\",outcome=\"failed\"}", 1},
      {"hospd_requests_total{kind=\"function_json\",outcome=\"ok\"}", 1},
      {"hospd_request_duration_seconds_count{kind=\"table_query\"}", 2},
      {"hospd_request_duration_seconds_bucket{kind=\"table_query\",le=\"+Inf\"}", 2},
      {"hospd_connections_accepted_total{port=\"data\"}", 1},
      {"hospd_connections_accepted_total{port=\"function\"}", 2},
      {"hospd_connections_refused_total{port=\"function\"}", 1},
      {"hospd_connections_open{port=\"data\"}", 0},
      {"hospd_logins_failed_total", 1},
      {"hospd_db_pool_connections_in_use", 0},
  };
  for (const auto& [name, value] : expected) EXPECT_EQ(Sample(text, name), value) << name;
  EXPECT_NE(text.find("hospd_build_info{version=\""), std::string::npos);
  // Buckets are cumulative: none holds more than the next.
  const std::regex bucket(
      R"(hospd_request_duration_seconds_bucket\{kind="table_query",le="[^"]+"\} (\d+))");
  double previous = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), bucket);
       it != std::sregex_iterator(); ++it) {
    const double count = std::stod((*it)[1]);
    EXPECT_GE(count, previous);
    previous = count;
  }
}

// /readyz is 503 while the database does not answer within a second (a lock held on the
// table it reads), and 200 again once it does; /healthz asks no database and stays 200.
TEST(MetricsTest, ReadyOnlyWhileTheDatabaseAnswers) {
  HospdProcess server({"--metrics", "127.0.0.1:0"}, PostgresServer::Shared().CreateDatabase());
  EXPECT_EQ(Get(server, "/readyz").status, 200);
  const auto probe = OpenProbe(server);
  probe->Execute("BEGIN");
  probe->Execute("LOCK TABLE Personnel IN ACCESS EXCLUSIVE MODE");
  const auto started = std::chrono::steady_clock::now();
  const Reply blocked = Get(server, "/readyz");
  EXPECT_EQ(blocked.status, 503);
  EXPECT_EQ(blocked.body, "database: no answer within 1 s\n");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  EXPECT_EQ(Get(server, "/readyz").body, "database: the last probe has no answer yet\n");
  EXPECT_EQ(Get(server, "/healthz").status, 200);
  probe->Execute("ROLLBACK");
  // The blocked probe ends now; until it has, the next one is not started.
  int status = 0;
  for (int i = 0; i < 50 && status != 200; ++i) {
    status = Get(server, "/readyz").status;
    if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(status, 200);
}
