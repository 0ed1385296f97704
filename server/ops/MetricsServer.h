// The monitoring endpoint: /metrics, /healthz and /readyz over HTTP, served by libmicrohttpd
// on a thread of its own.
#pragma once

#include <functional>
#include <string>

struct MHD_Daemon;

class MetricsServer {
 public:
  struct Pages {
    std::function<std::string()> metrics;  // the Prometheus text
    // Empty when ready, else why not (the body of the 503 answer).
    std::function<std::string()> not_ready;
  };

  // Listens on `address` ("HOST:PORT" or ":PORT", an IPv4 address; port 0 lets the system
  // choose). Throws std::runtime_error with the reason.
  MetricsServer(const std::string& address, Pages pages);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  int Port() const { return port_; }
  // "HOST:PORT" as bound.
  std::string Address() const { return host_ + ":" + std::to_string(port_); }
  // The answer to one GET: status code, body and its type.
  struct Answer {
    unsigned status;
    std::string body;
    const char* type;
  };
  Answer AnswerFor(const std::string& path) const;

 private:
  Pages pages_;
  MHD_Daemon* daemon_ = nullptr;
  std::string host_;
  int port_ = 0;
};
