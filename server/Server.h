// The reference servers in one process: the data server (TLS) and the function server (TCP).
#pragma once

#include <atomic>
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
#include "ops/Metrics.h"
#include "ops/MetricsServer.h"
#include "ops/ServiceNotifier.h"
#include "ops/TlsCredentials.h"
#include "service/ServiceContext.h"
#include "store/StoreSettings.h"

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
  // The audit trail's key file (--audit-key); empty for audit.key in the data folder.
  std::string audit_key;
  // How the audit trail names this server (--server-name); empty for the host name and the
  // data port.
  std::string server_name;
  // ADDRESS:PORT of the monitoring endpoint (/metrics, /healthz, /readyz); empty for none.
  std::string metrics_address;
  // The build, as /metrics shows it.
  std::string version;
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
  // The monitoring endpoint's port; 0 without --metrics.
  int MetricsPort() const { return metrics_server_ ? metrics_server_->Port() : 0; }

  // Accepts and serves connections until RequestStop() or until `stop_fd` (if not -1)
  // becomes readable. Whenever `reload_fd` (a signalfd, if not -1) becomes readable, its
  // signal is taken and the certificate reloaded.
  void Run(int stop_fd = -1, int reload_fd = -1);
  // Loads server.crt and server.key again for new connections; open ones keep theirs. A pair
  // that does not load or match leaves the old one in use. Logs either way; true when loaded.
  bool ReloadCertificate();
  // Safe from any thread.
  void RequestStop();
  // Ends every connection and waits for their threads; false when some did not end in `limit`.
  bool Shutdown(std::chrono::seconds limit);

 private:
  void SetUpLogins();
  void SetUpAudit();
  std::string ServingLine() const;
  std::string MetricsText() const;
  // Empty when ready to serve, else why not.
  std::string NotReadyReason();
  void LogCertificateFingerprint() const;
  void AcceptFrom(Listener& listener, bool data);
  void StartSession(AcceptedConnection connection, bool data);
  void Serve(AcceptedConnection connection, ConnectionTicket ticket, bool data);

  ServerOptions options_;
  std::unique_ptr<TlsCredentials> tls_;  // null when the data server runs on plain TCP
  ServiceContext context_;
  Listener data_listener_;
  Listener function_listener_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  RefusalLog refusals_;
  ServiceNotifier notifier_;
  // Declared last: its threads use everything above, so they are joined first.
  ConnectionRegistry registry_;
  ThreadSet threads_;
  Metrics metrics_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> probing_{false};  // a database probe of /readyz is running
  // Declared after the threads: its own thread reads everything above and starts probes.
  std::unique_ptr<MetricsServer> metrics_server_;
};
