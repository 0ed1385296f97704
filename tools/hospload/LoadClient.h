// One simulated physician's client: connects as the real client does (TLS data server with
// the handshake, plain function server) and repeats login query, case list and approval.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "LatencyTable.h"

class ApprovalLedger;
class dbServerConnection;

struct ServerAddress {
  std::string host = "127.0.0.1";
  std::string data_port;
  std::string function_port;
};

struct Login {
  std::string email;
  std::string password;
};

class LoadClient {
 public:
  LoadClient(const ServerAddress& address, Login login, ApprovalLedger& ledger, unsigned seed);
  ~LoadClient();
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  // Runs until `stop` is set; every request is timed into Latencies().
  void Run(const std::atomic<bool>& stop);

  const LatencyTable& Latencies() const { return latencies_; }
  // Answers that contradict the database or earlier answers, in words.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  bool Connect();
  bool QueryLogin();
  std::vector<std::string> ListCases();
  void Approve(const std::vector<std::string>& listed);
  bool SendApproval(const std::string& seq, RequestKind kind);
  void Problem(std::string text);

  const ServerAddress& address_;
  Login login_;
  ApprovalLedger& ledger_;
  unsigned random_;
  std::string doctor_seq_;
  std::unique_ptr<dbServerConnection> data_;
  std::unique_ptr<dbServerConnection> function_;
  LatencyTable latencies_;
  std::vector<std::string> problems_;
};
