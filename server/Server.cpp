// The reference servers in one process: the data server (TLS) and the function server (TCP).
#include "Server.h"

#include <fcntl.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "SecureSocket.h"
#include "ServerIdentity.h"
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

ssl_ctx_st* LoadTlsContext(const ServerOptions& options) {
  if (!options.data_tls && !options.function_tls) return nullptr;
  const fs::path certificate = options.data_dir / "server.crt";
  const fs::path key = options.data_dir / "server.key";
  ssl_ctx_st* context =
      SecureSocket::CreateContext(certificate.c_str(), key.c_str(), nullptr, nullptr);
  if (context == nullptr) {
    throw std::runtime_error("cannot load the TLS certificate " + certificate.string() +
                             " with its key " + key.string());
  }
  // OpenSSL's record buffers are freed while a connection waits for its next request, which
  // is where most connections are most of the time: 8 KiB less per idle connection, measured.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  return context;
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
  if (tls_context_ == nullptr) return;
  const auto fingerprint = ServerIdentity::Of(SSL_CTX_get0_certificate(tls_context_.get()));
  if (fingerprint) {
    LogLine("data server certificate SHA-256 fingerprint " + ServerIdentity::Format(*fingerprint));
  }
}

void Server::ContextFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

Server::Server(ServerOptions options)
    : options_(Resolved(std::move(options))),
      tls_context_(LoadTlsContext(options_)),
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
  if (context_.throttle) context_.throttle->Stop();
  registry_.ShutdownAll();
  threads_.JoinAll();
}

void Server::Run(int stop_fd) {
  LogLine("serving data (" + std::string(options_.data_tls ? "TLS" : "plain TCP") +
          (options_.server_login ? ", passwords checked here" : "") + ") on " +
          options_.bind_address + ":" + std::to_string(DataPort()) + ", function on " +
          options_.bind_address + ":" + std::to_string(FunctionPort()) + ", data folder " +
          options_.data_dir.string() + ", " + context_.store->Description());
  if (options_.require_login || options_.function_tls) {
    LogLine(
        std::string("protecting patient data: ") +
        (options_.require_login ? "sessions required (ended after " +
                                      std::to_string(options_.session_idle.count()) + " s unused)"
                                : "no sessions") +
        (options_.function_tls ? ", function server on TLS" : ", function server on plain TCP"));
  }
  LogCertificateFingerprint();
  for (;;) {
    pollfd fds[4] = {{data_listener_.Fd(), POLLIN, 0},
                     {function_listener_.Fd(), POLLIN, 0},
                     {wake_read_.Get(), POLLIN, 0},
                     {stop_fd, POLLIN, 0}};
    const int ready = ::poll(fds, stop_fd >= 0 ? 4 : 3, 1000);
    threads_.ReapFinished();
    if (ready < 0 && errno != EINTR) {
      LogLine(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if (ready <= 0) continue;
    if (fds[2].revents != 0 || (stop_fd >= 0 && fds[3].revents != 0)) return;
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
      LogLine(std::string("cannot accept: ") + std::strerror(error));
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
  if (!admission.ticket) {
    // The descriptor closes on return: a refused client learns at once, and holds nothing.
    refusals_.Refused(connection.address, Label(server, connection) + ": refused, " +
                                              RefusalReason(admission.refusal, registry_, server));
    return;
  }
  try {
    threads_.Start([this, data, connection = std::move(connection),
                    ticket = std::move(*admission.ticket)]() mutable {
      if (data) {
        ServeData(std::move(connection), std::move(ticket));
      } else {
        ServeFunction(std::move(connection), std::move(ticket));
      }
    });
  } catch (const std::system_error& error) {
    LogLine(std::string("cannot start a connection thread: ") + error.what());
  }
}

void Server::ServeData(AcceptedConnection connection, ConnectionTicket ticket) {
  const std::string label = Label("data", connection);
  try {
    std::unique_ptr<PlainSocket> socket;
    if (options_.data_tls) {
      socket = std::make_unique<SecureSocket>(tls_context_.get());
    } else {
      socket = std::make_unique<PlainSocket>();
    }
    SessionChannel channel(std::move(socket), std::move(ticket), context_.idle_limit, label);
    if (!channel.Attach(std::move(connection.fd))) {
      channel.LogEnd(0, options_.data_tls ? "TLS handshake failed" : "attach failed");
      return;
    }
    DataSession(channel, context_, connection.address).Run();
  } catch (const std::exception& error) {
    LogLine(label + ": ended by an error: " + error.what());
  }
}

void Server::ServeFunction(AcceptedConnection connection, ConnectionTicket ticket) {
  const std::string label = Label("function", connection);
  try {
    std::unique_ptr<PlainSocket> socket;
    if (options_.function_tls) {
      socket = std::make_unique<SecureSocket>(tls_context_.get());
    } else {
      socket = std::make_unique<PlainSocket>();
    }
    SessionChannel channel(std::move(socket), std::move(ticket), context_.idle_limit, label);
    if (!channel.Attach(std::move(connection.fd))) {
      channel.LogEnd(0, options_.function_tls ? "TLS handshake failed" : "attach failed");
      return;
    }
    FunctionSession(channel, context_).Run();
  } catch (const std::exception& error) {
    LogLine(label + ": ended by an error: " + error.what());
  }
}
