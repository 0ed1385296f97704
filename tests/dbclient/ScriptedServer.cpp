// A loopback server for the connection tests: answers from a script and records every byte it
// receives.
#include "ScriptedServer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DataFrame.h"
#include "Loopback.h"
#include "SecureSocket.h"
#include "ServerIdentity.h"
#include "TestFiles.h"

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
constexpr int kStepMicroseconds = 20000;

using Clock = std::chrono::steady_clock;

// A throwaway self-signed certificate and key in PEM files, made once per process.
class TestCertificate {
 public:
  static const TestCertificate& Get() {
    static const TestCertificate certificate;
    return certificate;
  }
  std::string CertificatePath() const { return folder_.Path("cert.pem"); }
  std::string KeyPath() const { return folder_.Path("key.pem"); }

 private:
  TestCertificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr) throw std::runtime_error("no key or certificate");
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    WritePem(CertificatePath(), [&](FILE* f) { return PEM_write_X509(f, cert); });
    WritePem(KeyPath(), [&](FILE* f) {
      return PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    });
    X509_free(cert);
    EVP_PKEY_free(key);
  }

  template <typename Writer>
  static void WritePem(const std::string& path, Writer write) {
    FILE* f = std::fopen(path.c_str(), "w");
    bool written = f != nullptr && write(f) == 1;
    if (f != nullptr) std::fclose(f);
    if (!written) throw std::runtime_error("cannot write " + path);
  }

  TempFolder folder_{"hosp-dbclient-cert"};
};

}  // namespace

ServerPeer::ServerPeer(ScriptedServer& server, int index, std::unique_ptr<PlainSocket> socket)
    : server_(server), index_(index), socket_(std::move(socket)) {}

// Gathers `count` bytes in short waits, so a stopping server or a silent client ends it.
bool ServerPeer::ReadExactly(char* destination, int count) {
  auto deadline = Clock::now() + kPatience;
  int got = 0;
  while (got < count && !server_.Stopping() && Clock::now() < deadline) {
    if (socket_->state != SOCK_STATE_CONNECTED) break;
    int n = socket_->Read(destination + got, count - got, 0, kStepMicroseconds);
    if (n < 0) break;
    server_.Record(index_, std::string_view(destination + got, static_cast<std::size_t>(n)));
    got += n;
  }
  return got == count;
}

bool ServerPeer::ReadFrame(Frame& frame) {
  char header[kFrameHeaderSize];
  if (!ReadExactly(header, static_cast<int>(kFrameHeaderSize))) return false;
  const FrameHeader decoded = DecodeFrameHeader(header);
  frame.length = decoded.length;
  frame.type = decoded.type;
  frame.subtype = decoded.subtype;
  if (frame.length < 1 || frame.length > 1 << 24) return false;
  std::string body(static_cast<std::size_t>(frame.length) + 1, '\0');
  if (!ReadExactly(body.data(), frame.length)) return false;
  body.resize(static_cast<std::size_t>(frame.length));
  frame.raw = std::string(header, kFrameHeaderSize) + body;
  frame.text = body.substr(0, body.size() - 1);
  return true;
}

bool ServerPeer::ReadText(std::string& text) {
  text.clear();
  char c = 0;
  while (ReadExactly(&c, 1)) {
    if (c == '\0') return true;
    text += c;
  }
  return false;
}

bool ServerPeer::Send(std::string_view bytes) {
  if (bytes.empty()) return true;
  return socket_->Send(bytes.data(), static_cast<int>(bytes.size())) == SOCK_SUCCESS;
}

bool ServerPeer::Answer(std::string_view text) {
  std::string answer(text);
  answer += '\0';
  return Send(answer);
}

bool ServerPeer::AcceptHandshake() {
  Frame frame;
  return ReadFrame(frame) &&
         Answer("Date=45123.5,RunningFolder=C:\\Hosp,RemoteIP=127.0.0.1,Accepted=Y");
}

void ServerPeer::Close() {
  closed_by_server_ = true;
  socket_->Close();
}

bool ServerPeer::WaitForClose() {
  char scrap[4096];
  // Reads once more after the test has ended: on a busy machine the test may end before this
  // thread has seen a close that already happened.
  while (socket_->state == SOCK_STATE_CONNECTED) {
    int n = socket_->Read(scrap, sizeof scrap - 1, 0, kStepMicroseconds);
    if (n < 0) break;
    server_.Record(index_, std::string_view(scrap, static_cast<std::size_t>(n)));
    if (n == 0 && server_.Stopping()) break;
  }
  bool closed = socket_->state != SOCK_STATE_CONNECTED;
  if (closed && !closed_by_server_) server_.MarkClosed(index_);
  return closed;
}

ScriptedServer::ScriptedServer(bool tls) {
  if (tls) {
    const TestCertificate& certificate = TestCertificate::Get();
    context_ = SecureSocket::CreateContext(certificate.CertificatePath().c_str(),
                                           certificate.KeyPath().c_str(), nullptr, nullptr);
    if (context_ == nullptr) throw std::runtime_error("no server TLS context");
  }
  listener_ = ListenOnLoopback(16, port_);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  close(listener_);
  if (context_ != nullptr) SSL_CTX_free(context_);
}

void ScriptedServer::Expect(Script script) {
  std::lock_guard lock(mutex_);
  scripts_.push_back(std::move(script));
}

int ScriptedServer::Connections() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(received_.size());
}

std::string ScriptedServer::Received(int index) const {
  std::lock_guard lock(mutex_);
  return index < static_cast<int>(received_.size()) ? received_[static_cast<std::size_t>(index)]
                                                    : std::string();
}

bool ScriptedServer::ClientClosed(int index) const {
  std::lock_guard lock(mutex_);
  return index < static_cast<int>(closed_.size()) && closed_[static_cast<std::size_t>(index)];
}

bool ScriptedServer::WaitForConnections(int count) const {
  auto deadline = Clock::now() + kPatience;
  while (Connections() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void ScriptedServer::Record(int index, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  received_[static_cast<std::size_t>(index)].append(bytes);
}

void ScriptedServer::MarkClosed(int index) {
  std::lock_guard lock(mutex_);
  closed_[static_cast<std::size_t>(index)] = true;
}

void ScriptedServer::AcceptLoop() {
  while (!stop_) {
    pollfd entry{listener_, POLLIN, 0};
    if (poll(&entry, 1, kStepMicroseconds / 1000) != 1) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    int index = static_cast<int>(received_.size());
    received_.emplace_back();
    closed_.push_back(false);
    Script script;
    if (static_cast<std::size_t>(index) < scripts_.size()) {
      script = scripts_[static_cast<std::size_t>(index)];
    }
    workers_.emplace_back([this, fd, index, script] { Serve(fd, index, script); });
  }
}

void ScriptedServer::Serve(int fd, int index, Script script) {
  std::unique_ptr<PlainSocket> socket;
  if (context_ != nullptr) {
    socket = std::make_unique<SecureSocket>(context_);
  } else {
    socket = std::make_unique<PlainSocket>();
  }
  if (socket->Attach(fd, false) != SOCK_SUCCESS || !script) {
    return;  // the socket's destructor closes the descriptor
  }
  ServerPeer peer(*this, index, std::move(socket));
  script(peer);
  peer.WaitForClose();
}

std::string ScriptedServer::Fingerprint() const {
  if (context_ == nullptr) return {};
  const auto fingerprint = ServerIdentity::Of(SSL_CTX_get0_certificate(context_));
  return fingerprint ? ServerIdentity::Format(*fingerprint) : std::string();
}
