// One simulated physician's client: connects as the real client does (TLS data server with
// the handshake, plain function server) and repeats login query, case list and approval.
// With several servers, it starts on one and moves to the next when it cannot connect, as a
// load balancer in front of them would send it elsewhere.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "LatencyTable.h"
#include "ServerIdentity.h"

class ApprovalLedger;
class dbServerConnection;

struct ServerAddress {
  std::string host = "127.0.0.1";
  std::string data_port;
  std::string function_port;
};

// What one client saw of one server.
struct ServerTally {
  std::size_t answered = 0;
  std::size_t failed = 0;
  double last_answer = -1;  // seconds into the run; -1 for never

  void Merge(const ServerTally& other);
};

struct Login {
  std::string email;
  std::string password;
};

// How the clients talk to the servers beyond the defaults (the opt-in keys of "Hosp.ini").
struct ClientOptions {
  // The login's query carries the password ("SendPassword=Y"), for hospd --server-login.
  bool send_password = false;
  // The function server over TLS ("Secure=Y" in section FunctionServer), held to `identity`.
  bool function_tls = false;
  ServerIdentity function_identity;
  // One login per client; the rounds then list and approve only, as a client between logins
  // does (with the session the login's answer named, if any).
  bool login_once = false;
};

class LoadClient {
 public:
  LoadClient(const std::vector<ServerAddress>& servers, std::size_t first_server, Login login,
             ApprovalLedger& ledger, unsigned seed, std::chrono::steady_clock::time_point started,
             const ClientOptions& options = {});
  ~LoadClient();
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  // Runs until `stop` is set; every request is timed into Latencies().
  void Run(const std::atomic<bool>& stop);

  const LatencyTable& Latencies() const { return latencies_; }
  // By server, in the order given.
  const std::vector<ServerTally>& Tallies() const { return tallies_; }
  // Answers that contradict the database or earlier answers, in words.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  template <typename Request>
  bool Timed(RequestKind kind, Request request);
  bool Connect();
  bool QueryLogin();
  std::vector<std::string> ListCases();
  void Approve(const std::vector<std::string>& listed);
  bool SendApproval(const std::string& seq, RequestKind kind);
  void Problem(std::string text);

  const std::vector<ServerAddress>& servers_;
  std::size_t server_;
  std::chrono::steady_clock::time_point started_;
  Login login_;
  ApprovalLedger& ledger_;
  unsigned random_;
  ClientOptions options_;
  std::string doctor_seq_;
  std::string session_;         // named by the last login's answer
  std::set<std::string> seen_;  // cases listed to this client: its physician's
  std::unique_ptr<dbServerConnection> data_;
  std::unique_ptr<dbServerConnection> function_;
  LatencyTable latencies_;
  std::vector<ServerTally> tallies_;
  std::vector<std::string> problems_;
};
