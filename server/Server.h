// The reference servers in one process: the data server (TLS) and the function server (TCP).
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "UniqueFd.h"
#include "login/LoginThrottle.h"
#include "net/ConnectionRegistry.h"
#include "net/Listener.h"
#include "net/RefusalLog.h"
#include "net/ThreadSet.h"
#include "service/ServiceContext.h"
#include "store/StoreSettings.h"

struct ssl_ctx_st;

struct ServerOptions {
  std::filesystem::path data_dir;
  std::string bind_address = "127.0.0.1";
  int data_port = 8701;
  int function_port = 8702;
  std::chrono::seconds idle_limit{30};
  int max_connections = 512;
  // Over both servers; well below max_connections, so that one client address cannot take
  // them all. A client holds two, one on each server.
  int max_connections_per_address = 32;
  // A PostgreSQL URL or key=value text; empty for hosp.db in the data folder.
  std::string database;
  int database_connections = StoreSettings{}.connections;
  // Off only for measurements: the data protocol on plain TCP instead of TLS.
  bool data_tls = true;
  // The server checks the passwords of logins itself (and so may serve hashed ones).
  bool server_login = false;
  // Every request but the login's must name the session a right login opened (implies
  // server_login); a session is over after session_idle without a request.
  bool require_login = false;
  std::chrono::seconds session_idle{720 * 60};
  // The function server speaks TLS with the data server's certificate and key.
  bool function_tls = false;
  // How guessing is slowed down with server_login; only a benchmark in this process
  // shortens it, to measure the throttle in seconds instead of hours.
  ThrottleSettings throttle;
};

class Server {
 public:
  // Opens the database (creating or upgrading its schema), loads the certificate and key
  // and binds both ports. Throws std::runtime_error (or DatabaseError) with the reason.
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int DataPort() const { return data_listener_.Port(); }
  int FunctionPort() const { return function_listener_.Port(); }

  // Accepts and serves connections until RequestStop() or until `stop_fd` (if not -1)
  // becomes readable.
  void Run(int stop_fd = -1);
  // Safe from any thread.
  void RequestStop();
  // Ends every connection and waits for their threads; false when some did not end in `limit`.
  bool Shutdown(std::chrono::seconds limit);

 private:
  struct ContextFree {
    void operator()(ssl_ctx_st* context) const;
  };

  void SetUpLogins();
  void LogCertificateFingerprint() const;
  void AcceptFrom(Listener& listener, bool data);
  void StartSession(AcceptedConnection connection, bool data);
  void ServeData(AcceptedConnection connection, ConnectionTicket ticket);
  void ServeFunction(AcceptedConnection connection, ConnectionTicket ticket);

  ServerOptions options_;
  std::unique_ptr<ssl_ctx_st, ContextFree> tls_context_;
  ServiceContext context_;
  Listener data_listener_;
  Listener function_listener_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  RefusalLog refusals_;
  // Declared last: its threads use everything above, so they are joined first.
  ConnectionRegistry registry_;
  ThreadSet threads_;
};
