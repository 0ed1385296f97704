// hospd: the reference data server and function server, or a new demo data folder.
#include <sys/signalfd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "HospVersion.h"
#include "Log.h"
#include "PortsFile.h"
#include "Server.h"
#include "UniqueFd.h"
#include "admin/AdminCommands.h"
#include "admin/DemoFolder.h"

namespace {

struct CommandLine {
  std::string init_demo;
  std::string ports_file;
  ServerOptions server;
  int idle_seconds = 30;
  double session_minutes = 720;
};

// The opt-in protection of patient data: sessions and the function server's TLS.
void AddPrivacyOptions(CLI::App& app, CommandLine& line) {
  app.add_flag("--require-login", line.server.require_login,
               "Serve nothing without a login (implies --server-login): a right login's answer "
               "ends with a line Session=TOKEN, and every other request must name that "
               "session (Session line or member); \"Cases\" and getdoctorcases only for the "
               "session's own physician. Only the handshake, the date, the client downloads "
               "and the login itself need none. On PostgreSQL the servers of one database share "
               "the sessions.");
  app.add_option("--session-minutes", line.session_minutes,
                 "Minutes without a request after which a session is over (fractions allowed).")
      ->type_name("MINUTES")
      ->check(CLI::Range(0.01, 43200.0))
      ->capture_default_str();
  app.add_flag("--function-tls", line.server.function_tls,
               "The function server speaks TLS with the data server's certificate and key "
               "(clients with Secure=Y in section FunctionServer); plain requests are dropped.");
}

void AddOptions(CLI::App& app, CommandLine& line) {
  auto* init = app.add_option("--init-demo", line.init_demo,
                              "Create the demo data folder DIR (hosp.db with demo physicians and "
                              "cases, a self-signed server.crt and server.key, an empty Clients "
                              "folder, the audit key audit.key), print the demo logins and exit. "
                              "Never overwrites hosp.db.")
                   ->type_name("DIR");
  auto* data = app.add_option("--data", line.server.data_dir,
                              "Serve the data folder DIR: hosp.db (SQLite), server.crt and "
                              "server.key (PEM) and Clients/ (client builds offered for download).")
                   ->type_name("DIR");
  init->excludes(data);
  app.add_option("--database", line.server.database,
                 "Keep the data in this PostgreSQL database instead of hosp.db: a "
                 "postgresql://USER@HOST:PORT/DB URL or libpq key=value pairs (a password is "
                 "better kept in ~/.pgpass or PGPASSWORD). The schema is created in an empty "
                 "database; several servers may share one. With --init-demo, the demo data is "
                 "loaded into it.")
      ->type_name("URL");
  app.add_option("--db-connections", line.server.database_connections,
                 "Database connections shared by all client connections (at most).")
      ->type_name("N")
      ->check(CLI::Range(1, 1000))
      ->capture_default_str();
  app.add_flag("--server-login", line.server.server_login,
               "Check the passwords of logins here: every Personnel query must carry the typed "
               "password (clients with SendPassword=Y), is answered only when it is right, and "
               "never with the stored one; guessing is slowed down. Needed for hashed passwords. "
               "With --init-demo, the demo passwords are stored hashed.");
  AddPrivacyOptions(app, line);
  app.add_option("--audit-key", line.server.audit_key,
                 "Sign the audit trail of approvals with the key in FILE (made by hospd init) "
                 "instead of audit.key in the data folder; every server of one database needs the "
                 "same key. Without it, a data folder without audit.key gets a new one.")
      ->type_name("FILE");
  app.add_option("--server-name", line.server.server_name,
                 "How the audit trail names this server (default: the host name and the data "
                 "port, HOST:PORT).")
      ->type_name("NAME");
  app.add_option("--bind", line.server.bind_address, "IPv4 address or host name to listen on.")
      ->type_name("ADDRESS")
      ->capture_default_str();
  app.add_option("--data-port", line.server.data_port,
                 "Port of the data server (TLS); 0 lets the system choose.")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--function-port", line.server.function_port,
                 "Port of the function server (plain TCP, JSON); 0 lets the system choose.")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--metrics", line.server.metrics_address,
                 "Serve /metrics (Prometheus text), /healthz and /readyz over HTTP on "
                 "ADDRESS:PORT (IPv4; a bare PORT or :PORT listens on 127.0.0.1 only). Off "
                 "unless given.")
      ->type_name("ADDRESS:PORT");
  app.add_option("--ports-file", line.ports_file,
                 "Once both servers listen, write the lines data_port=N and function_port=N "
                 "(and metrics_port=N with --metrics) to FILE (atomically), for scripts to "
                 "source.")
      ->type_name("FILE");
  app.add_option("--idle-timeout", line.idle_seconds,
                 "Seconds a client may stay silent (or take to send a request or to accept an "
                 "answer block) before its connection is closed.")
      ->type_name("SECONDS")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_option("--max-connections", line.server.max_connections,
                 "Connections served at once over both servers; more are closed at once. Each "
                 "server may hold three quarters of them, so a flood on one leaves a quarter "
                 "for the other.")
      ->type_name("N")
      ->check(CLI::Range(1, 10000))
      ->capture_default_str();
  app.add_option("--max-connections-per-address", line.server.max_connections_per_address,
                 "Connections served at once from one client address over both servers (a "
                 "client holds one on each); more are closed at once. Raise it for many "
                 "clients behind one address (a terminal server, a NAT).")
      ->type_name("N")
      ->check(CLI::Range(1, 10000))
      ->capture_default_str();
}

int InitDemo(const std::string& folder, const std::string& database, bool hashed_passwords) {
  try {
    InitDemoFolder(folder, std::cout, database, hashed_passwords);
    return EXIT_SUCCESS;
  } catch (const std::exception& error) {
    std::cerr << "hospd: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
}

// SIGINT and SIGTERM are blocked in every thread and read from a descriptor by the accept
// loop, so that no connection thread is ever interrupted by them.
UniqueFd BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

// SIGHUP (systemctl reload) reloads the certificate; read the same way as the stop signals.
UniqueFd BlockReloadSignal() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return UniqueFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

int Serve(CommandLine& line) {
  const UniqueFd stop_signals = BlockStopSignals();  // before the first thread starts
  const UniqueFd reload_signal = BlockReloadSignal();
  if (!stop_signals.Valid() || !reload_signal.Valid()) {
    std::cerr << "hospd: cannot watch for SIGINT, SIGTERM and SIGHUP\n";
    return EXIT_FAILURE;
  }
  line.server.idle_limit = std::chrono::seconds(line.idle_seconds);
  line.server.version = HOSP_VERSION;
  line.server.session_idle =
      std::chrono::seconds(std::max<long long>(1, std::llround(line.session_minutes * 60)));
  try {
    Server server(line.server);
    if (!line.ports_file.empty()) {
      WritePortsFile(line.ports_file, server.DataPort(), server.FunctionPort(),
                     server.MetricsPort());
    }
    server.Run(stop_signals.Get(), reload_signal.Get());
    LogLine("stopping");
    if (!server.Shutdown(std::chrono::seconds(10))) {
      LogLine(LogPriority::Warning, "connections did not end within 10 s; exiting regardless");
      std::_Exit(EXIT_FAILURE);
    }
    LogLine("stopped");
    return EXIT_SUCCESS;
  } catch (const std::exception& error) {
    std::cerr << "hospd: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "hospd: the reference servers of the discharge approval client. The data server (TLS) "
      "answers framed requests (handshake, Personnel and Cases records, case updates, client "
      "downloads); the function server (plain TCP) answers JSON requests (getdoctorcases). Both "
      "work on the SQLite database hosp.db of one data folder, or on a PostgreSQL database "
      "(--database) that several servers may share."};
  app.set_version_flag("--version", std::string("hospd ") + HOSP_VERSION);
  CommandLine line;
  AddOptions(app, line);
  const AdminCommands admin(app);
  CLI11_PARSE(app, argc, argv);
  if (admin.Chosen()) return admin.Run();
  if (!line.init_demo.empty()) {
    return InitDemo(line.init_demo, line.server.database,
                    line.server.server_login || line.server.require_login);
  }
  if (line.server.data_dir.empty()) {
    std::cerr << "hospd: give --data DIR to serve or --init-demo DIR to create a demo folder "
                 "(see --help)\n";
    return EXIT_FAILURE;
  }
  return Serve(line);
}
