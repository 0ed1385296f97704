// Many clients at once: every request answered correctly, every approval recorded exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "SqliteProbe.h"

namespace {

constexpr int kClients = 50;
constexpr int kRequestsPerClient = 100;
constexpr int kFirstOwnCase = 7000;  // one case per client, approved by that client alone
constexpr int kSharedCase = 7100;    // approved by every client
constexpr int kOwnApprovalAt = 10;
constexpr int kSharedApprovalAt = 20;

struct Login {
  const char* email;
  const char* seq;
};
constexpr Login kLogins[] = {{"anna.weber@hospital.example", "1001"},
                             {"lukas.brenner@hospital.example", "1002"},
                             {"paul.richter@hospital.example", "1004"}};

void AddLoadCases(const HospdProcess& server) {
  SqliteProbe db(server.DatabasePath());
  db.Execute("BEGIN");
  for (int seq = kFirstOwnCase; seq < kFirstOwnCase + kClients; ++seq) {
    db.Execute("INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (" + std::to_string(seq) +
               ", 1005, 'Load', '20990101')");
  }
  db.Execute("INSERT INTO Cases (Seq, DoctorSeq, pa10, f13) VALUES (" +
             std::to_string(kSharedCase) + ", 1005, 'Shared', '20990102')");
  db.Execute("COMMIT");
}

// One client's requests after its handshake; returns how many were answered as expected.
int RunClient(const HospdProcess& server, int client) {
  const auto data = OpenDataConnection(server);
  const auto function = OpenFunctionConnection(server);
  if (!data->IsConnected()) return 0;
  int good = 1;  // the handshake
  for (int request = 1; request < kRequestsPerClient; ++request) {
    if (request == kOwnApprovalAt) {
      good += data->UpdateRecord("Cases", std::to_string(kFirstOwnCase + client), Fields("f25=Y"))
                  ? 1
                  : 0;
    } else if (request == kSharedApprovalAt) {
      good += data->UpdateRecord("Cases", std::to_string(kSharedCase), Fields("f25=Y")) ? 1 : 0;
    } else if (request % 10 == 5) {
      good += function->ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:1005}") &&
                      function->AnswerText.find("CaseList") != std::string::npos
                  ? 1
                  : 0;
    } else {
      const Login& login = kLogins[(client + request) % 3];
      NameValueList record;
      good += data->QueryTable("Personnel", 4, login.email, "", record, "", "") &&
                      record.Count() >= 28 && record[1] == login.seq
                  ? 1
                  : 0;
    }
  }
  return good;
}

}  // namespace

// 50 clients with 100 requests each, concurrently, over both servers.
TEST(LoadTest, ConcurrentClientsAllAnsweredApprovalsOnce) {
  // All clients are on this machine, one address: each holds two connections.
  const HospdProcess server({"--max-connections-per-address", std::to_string(2 * kClients)});
  AddLoadCases(server);
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int client = 0; client < kClients; ++client) {
    clients.emplace_back([&server, &answered, client] { answered += RunClient(server, client); });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(answered.load(), kClients * kRequestsPerClient);

  SqliteProbe db(server.DatabasePath());
  const std::string range =
      "CaseSeq BETWEEN " + std::to_string(kFirstOwnCase) + " AND " + std::to_string(kSharedCase);
  EXPECT_EQ(db.Value("SELECT count(*) FROM Approvals WHERE " + range),
            std::to_string(kClients + 1));
  EXPECT_EQ(db.Value("SELECT count(DISTINCT CaseSeq) FROM Approvals WHERE " + range),
            std::to_string(kClients + 1));
  EXPECT_EQ(db.Value("SELECT count(*) FROM Cases WHERE Seq >= " + std::to_string(kFirstOwnCase) +
                     " AND f25 <> 'Y'"),
            "0");
}
