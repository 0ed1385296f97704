// The reference servers in one process: the data server (TLS) and the function server (TCP).
#include "Server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "SecureSocket.h"
#include "audit/AuditKey.h"
#include "login/MemoryFailureCounters.h"
#include "login/MemorySessionTable.h"
#include "net/DataSession.h"
#include "net/FunctionSession.h"
#include "net/SessionChannel.h"
#include "store/StaffDirectory.h"

namespace fs = std::filesystem;

namespace {

// Connections taken per wake-up of the accept loop, so that one busy port cannot starve the other.
constexpr int kAcceptBurst = 64;

fs::path CheckedDataDir(const fs::path& folder, bool needs_sqlite) {
  std::error_code error;
  const fs::path absolute = fs::canonical(folder, error);
  if (error) throw std::runtime_error("no data folder " + folder.string() + ": " + error.message());
  if (needs_sqlite && !fs::exists(absolute / "hosp.db")) {
    throw std::runtime_error("no hosp.db in " + absolute.string() +
                             " (create a demo folder with hospd --init-demo DIR)");
  }
  return absolute;
}

std::unique_ptr<TlsCredentials> LoadTlsCredentials(const ServerOptions& options) {
  if (!options.data_tls && !options.function_tls) return nullptr;
  return std::make_unique<TlsCredentials>(options.data_dir / "server.crt",
                                          options.data_dir / "server.key");
}

// A broken connection must fail the one send, not end the process.
void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

std::pair<UniqueFd, UniqueFd> MakeWakePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

ServerOptions Resolved(ServerOptions options) {
  IgnoreBrokenPipes();
  options.server_login = options.server_login || options.require_login;
  options.data_dir = CheckedDataDir(options.data_dir, options.database.empty());
  return options;
}

std::string Label(std::string_view server, const AcceptedConnection& connection) {
  return std::string(server) + " " + connection.address + ":" + std::to_string(connection.port);
}

std::string RefusalReason(Refusal refusal, const ConnectionRegistry& registry,
                          std::string_view server) {
  switch (refusal) {
    case Refusal::Full:
      return std::to_string(registry.Limits().total) + " connections open (--max-connections)";
    case Refusal::ServerFull:
      return std::to_string(registry.ServerShare()) + " " + std::string(server) +
             " connections open (its share of --max-connections)";
    case Refusal::AddressFull:
      return std::to_string(registry.Limits().per_address) +
             " connections open from this address (--max-connections-per-address)";
    case Refusal::Stopping:
      return "stopping";
    case Refusal::None:
      break;
  }
  return "refused";
}

}  // namespace

// Clients that pin the server compare with this line ("Fingerprint" in Hosp.ini).
void Server::LogCertificateFingerprint() const {
  if (tls_ == nullptr) return;
  if (const std::string fingerprint = tls_->Fingerprint(); !fingerprint.empty()) {
    LogLine("data server certificate SHA-256 fingerprint " + fingerprint);
  }
}

bool Server::ReloadCertificate() {
  if (tls_ == nullptr) return false;
  try {
    tls_->Reload();
  } catch (const std::exception& error) {
    LogLine(LogPriority::Warning,
            std::string("certificate not reloaded, the old one stays in use: ") + error.what());
    return false;
  }
  LogLine("certificate reloaded for new connections");
  notifier_.Status(ServingLine() + "; certificate reloaded");
  LogCertificateFingerprint();
  return true;
}

Server::Server(ServerOptions options)
    : options_(Resolved(std::move(options))),
      tls_(LoadTlsCredentials(options_)),
      context_(options_.data_dir,
               OpenStore({options_.data_dir, options_.database, options_.database_connections}),
               options_.idle_limit),
      data_listener_(options_.bind_address, options_.data_port),
      function_listener_(options_.bind_address, options_.function_port),
      registry_({options_.max_connections, options_.max_connections_per_address}) {
  auto [read_end, write_end] = MakeWakePipe();
  wake_read_ = std::move(read_end);
  wake_write_ = std::move(write_end);
  SetUpLogins();
  SetUpAudit();
  if (!options_.metrics_address.empty()) {
    metrics_server_ = std::make_unique<MetricsServer>(
        options_.metrics_address, MetricsServer::Pages{[this] { return MetricsText(); },
                                                       [this] { return NotReadyReason(); }});
  }
}

std::string Server::MetricsText() const {
  MetricsSnapshot others;
  if (context_.throttle) {
    others.logins_failed = context_.throttle->Failed();
    others.logins_throttled = context_.throttle->Throttled();
  }
  const PoolUsage pool = context_.store->Usage();
  others.pool_in_use = pool.in_use;
  others.pool_capacity = pool.capacity;
  others.pool_waits = pool.waits;
  others.pool_wait_timeouts = pool.wait_timeouts;
  return metrics_.Render(options_.version, others);
}

// The database is asked on a thread of its own, so that a database that does not answer
// costs the probe one second, not the monitoring thread's whole wait for a connection; and
// only one such thread at a time, so that frequent probes of a hung database pile up none.
std::string Server::NotReadyReason() {
  if (stopping_) return "stopping";
  if (data_listener_.Fd() < 0 || function_listener_.Fd() < 0) return "a port does not listen";
  if (tls_ && !tls_->Current()) return "no certificate loaded";
  if (probing_.exchange(true)) return "database: the last probe has no answer yet";
  auto answered = std::make_shared<std::promise<std::string>>();
  std::future<std::string> answer = answered->get_future();
  try {
    threads_.Start([this, answered] {
      try {
        context_.store->FindPhysician(0);
        answered->set_value({});
      } catch (const std::exception& error) {
        answered->set_value(std::string("database: ") + error.what());
      }
      probing_ = false;
    });
  } catch (const std::system_error&) {
    probing_ = false;
    return "cannot start the database probe";
  }
  if (answer.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
    return "database: no answer within 1 s";
  }
  return answer.get();
}

// A data folder from before the trail gets its key here, as hospd init would have made it.
void Server::SetUpAudit() {
  bool created = false;
  AuditKey key = AuditKey::ForServer(options_.data_dir, options_.audit_key, created);
  if (created) {
    LogLine("audit key created: " + (options_.data_dir / AuditKey::kFileName).string() +
            " (keep a copy apart from the database; every server of one database needs it)");
  }
  std::string name = options_.server_name;
  if (name.empty()) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    name = std::string(host) + ":" + std::to_string(DataPort());
  }
  const std::int64_t chained = context_.store->StartAudit(std::move(key), name);
  if (chained > 0) {
    LogLine("audit trail: " + std::to_string(chained) +
            " approvals from before it chained; it proves the records from here on");
  }
}

// Hashed passwords cannot be answered at position 23, where the client compares them with
// what was typed: without --server-login, nobody could log in.
void Server::SetUpLogins() {
  if (!options_.server_login) {
    if (context_.store->Staff()->HasHashedPasswords()) {
      throw std::runtime_error(
          "the database holds hashed passwords, which only a server that checks logins "
          "itself can serve: start hospd with --server-login (and clients with "
          "SendPassword=Y)");
    }
    return;
  }
  context_.server_login = true;
  std::unique_ptr<FailureCounters> counters = context_.store->SharedFailureCounters();
  if (!counters) counters = std::make_unique<MemoryFailureCounters>();
  context_.throttle = std::make_unique<LoginThrottle>(options_.throttle, std::move(counters));
  if (!options_.require_login) return;
  std::unique_ptr<SessionTable> sessions = context_.store->SharedSessions();
  if (!sessions) sessions = std::make_unique<MemorySessionTable>();
  context_.sessions = std::make_unique<Sessions>(std::move(sessions), options_.session_idle);
}

Server::~Server() {
  metrics_server_.reset();  // no more probes started from its thread
  if (context_.throttle) context_.throttle->Stop();
  registry_.ShutdownAll();
  threads_.JoinAll();
}

std::string Server::ServingLine() const {
  return "serving data (" + std::string(options_.data_tls ? "TLS" : "plain TCP") +
         (options_.server_login ? ", passwords checked here" : "") + ") on " +
         options_.bind_address + ":" + std::to_string(DataPort()) + ", function on " +
         options_.bind_address + ":" + std::to_string(FunctionPort());
}

void Server::Run(int stop_fd, int reload_fd) {
  LogLine(ServingLine() + ", data folder " + options_.data_dir.string() + ", " +
          context_.store->Description());
  if (options_.require_login || options_.function_tls) {
    LogLine(
        std::string("protecting patient data: ") +
        (options_.require_login ? "sessions required (ended after " +
                                      std::to_string(options_.session_idle.count()) + " s unused)"
                                : "no sessions") +
        (options_.function_tls ? ", function server on TLS" : ", function server on plain TCP"));
  }
  LogCertificateFingerprint();
  if (metrics_server_) {
    LogLine("metrics, health and readiness on http://" + metrics_server_->Address() +
            "/ (/metrics, /healthz, /readyz)");
  }
  // Both ports listen since the constructor: only now may the service manager start what
  // depends on this service.
  notifier_.Ready(ServingLine());
  auto next_status = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    // From this loop alone: if it hangs, the keep-alives stop and systemd restarts the service.
    notifier_.KeepAlive();
    if (const auto now = std::chrono::steady_clock::now(); now >= next_status) {
      notifier_.Status(ServingLine() + "; " + std::to_string(registry_.Count()) +
                       " connections open");
      next_status = now + std::chrono::seconds(10);
    }
    // A descriptor of -1 is skipped by poll.
    pollfd fds[5] = {{data_listener_.Fd(), POLLIN, 0},
                     {function_listener_.Fd(), POLLIN, 0},
                     {wake_read_.Get(), POLLIN, 0},
                     {stop_fd, POLLIN, 0},
                     {reload_fd, POLLIN, 0}};
    const int ready =
        ::poll(fds, 5, static_cast<int>(notifier_.Wait(std::chrono::milliseconds(1000)).count()));
    threads_.ReapFinished();
    if (ready < 0 && errno != EINTR) {
      LogLine(LogPriority::Error, std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (ready <= 0) continue;
    if (fds[2].revents != 0 || fds[3].revents != 0) {
      stopping_ = true;
      notifier_.Stopping("stopping: ending the open connections");
      return;
    }
    if (fds[4].revents != 0) {
      signalfd_siginfo taken{};
      if (::read(reload_fd, &taken, sizeof taken) == sizeof taken) ReloadCertificate();
    }
    if (fds[0].revents != 0) AcceptFrom(data_listener_, true);
    if (fds[1].revents != 0) AcceptFrom(function_listener_, false);
  }
}

void Server::RequestStop() {
  const char byte = 1;
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  [[maybe_unused]] const ssize_t written = ::write(wake_write_.Get(), &byte, 1);
}

bool Server::Shutdown(std::chrono::seconds limit) {
  if (context_.throttle) context_.throttle->Stop();
  registry_.ShutdownAll();
  if (!registry_.WaitUntilEmpty(limit)) return false;
  threads_.JoinAll();
  return true;
}

void Server::AcceptFrom(Listener& listener, bool data) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    AcceptedConnection connection = listener.Accept();
    if (connection.fd.Valid()) {
      StartSession(std::move(connection), data);
      continue;
    }
    const int error = errno;
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
      LogLine(LogPriority::Warning, std::string("cannot accept: ") + std::strerror(error));
      // Out of descriptors: give the open connections a moment to end instead of spinning.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return;
  }
}

void Server::StartSession(AcceptedConnection connection, bool data) {
  const std::string_view server = data ? "data" : "function";
  Admission admission = registry_.Add(connection.fd.Get(), connection.address,
                                      data ? ServerPort::Data : ServerPort::Function);
  const ::MetricsPort port = data ? ::MetricsPort::Data : ::MetricsPort::Function;
  if (!admission.ticket) {
    metrics_.Refused(port);
    // The descriptor closes on return: a refused client learns at once, and holds nothing.
    refusals_.Refused(connection.address, Label(server, connection) + ": refused, " +
                                              RefusalReason(admission.refusal, registry_, server));
    return;
  }
  try {
    metrics_.Opened(port);
    threads_.Start([this, data, port, connection = std::move(connection),
                    ticket = std::move(*admission.ticket)]() mutable {
      Serve(std::move(connection), std::move(ticket), data);
      metrics_.Closed(port);
    });
  } catch (const std::system_error& error) {
    metrics_.Closed(port);
    LogLine(LogPriority::Error, std::string("cannot start a connection thread: ") + error.what());
  }
}

void Server::Serve(AcceptedConnection connection, ConnectionTicket ticket, bool data) {
  const std::string label = Label(data ? "data" : "function", connection);
  const bool tls = data ? options_.data_tls : options_.function_tls;
  try {
    std::unique_ptr<PlainSocket> socket;
    // Held to the session's end: a reload meanwhile does not change this connection's pair.
    const std::shared_ptr<ssl_ctx_st> tls_context = tls && tls_ ? tls_->Current() : nullptr;
    if (tls_context) {
      socket = std::make_unique<SecureSocket>(tls_context.get());
    } else {
      socket = std::make_unique<PlainSocket>();
    }
    SessionChannel channel(std::move(socket), std::move(ticket), context_.idle_limit, label);
    if (!channel.Attach(std::move(connection.fd))) {
      channel.LogEnd(0, tls ? "TLS handshake failed" : "attach failed");
      return;
    }
    if (data) {
      DataSession(channel, context_, connection.address, metrics_).Run();
    } else {
      FunctionSession(channel, context_, metrics_).Run();
    }
  } catch (const std::exception& error) {
    LogLine(LogPriority::Error, label + ": ended by an error: " + error.what());
  }
}
