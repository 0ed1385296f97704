// The TLS form of the socket contract: handshakes, encrypted sending and reading over OpenSSL 3.
#include "SecureSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "OpenSslOwners.h"
#include "RetryOnEintr.h"
#include "SysUtils.h"
#include "TextException.h"
#include "UniqueFd.h"

namespace {

OnceFlag tls_startup_flag{0};

// Live SecureSocket objects of this thread. OpenSSL 3 needs no locking callbacks to be safe
// across threads, but it still keeps state per thread: the last socket of a thread to go
// releases it (its error queue included) with OPENSSL_thread_stop.
thread_local UsageCounter thread_socket_count{0};

constexpr char kSessionIdContext[] = "SecureSocketsLibrary";

// ---- The socket BIO -------------------------------------------------------------------------
//
// The library's own socket BIO writes with plain send(), so a peer that has gone would raise
// SIGPIPE and end the process. This one writes with MSG_NOSIGNAL. Its reads wait for bytes
// only while no time limit applies; under a limit the socket layer waits with ppoll() itself,
// so that the limit holds even when the bytes that arrive are no application data (a TLS 1.3
// session ticket, an alert, a renegotiation).

BIO_METHOD* socket_bio_method = nullptr;  // made once at start-up, lives as long as the process

struct SocketBioState {
  int fd = -1;
  bool at_eof = false;
  bool reads_wait = true;
};

SocketBioState* StateOf(BIO* bio) { return static_cast<SocketBioState*>(BIO_get_data(bio)); }

int SocketBioCreate(BIO* bio) {
  auto* state = new (std::nothrow) SocketBioState;
  if (state == nullptr) {
    return 0;
  }
  BIO_set_data(bio, state);
  return 1;
}

// The descriptor belongs to the socket object, never to the BIO.
int SocketBioDestroy(BIO* bio) {
  delete StateOf(bio);
  BIO_set_data(bio, nullptr);
  return 1;
}

int SocketBioRead(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  if (out == nullptr || size <= 0) {
    return 0;
  }
  SocketBioState* state = StateOf(bio);
  const int flags = state->reads_wait ? 0 : MSG_DONTWAIT;
  const ssize_t n =
      RetryOnEintr([&] { return recv(state->fd, out, static_cast<std::size_t>(size), flags); });
  if (n == 0) {
    state->at_eof = true;
  } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_read(bio);
  }
  return static_cast<int>(n);
}

int SocketBioWrite(BIO* bio, const char* in, int size) {
  BIO_clear_retry_flags(bio);
  if (in == nullptr || size <= 0) {
    return 0;
  }
  const ssize_t n = RetryOnEintr(
      [&] { return send(StateOf(bio)->fd, in, static_cast<std::size_t>(size), MSG_NOSIGNAL); });
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    BIO_set_retry_write(bio);  // only a descriptor someone made non-blocking gets here
  }
  return static_cast<int>(n);
}

long SocketBioCtrl(BIO* bio, int command, long /*number*/, void* pointer) {
  SocketBioState* state = StateOf(bio);
  switch (command) {
    case BIO_C_GET_FD:
      if (pointer != nullptr) {
        *static_cast<int*>(pointer) = state->fd;
      }
      return state->fd;
    case BIO_CTRL_EOF:
      return state->at_eof ? 1 : 0;
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

BIO_METHOD* MakeSocketBioMethod() {
  BIO_METHOD* method = BIO_meth_new(
      BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
  if (method != nullptr && (BIO_meth_set_create(method, SocketBioCreate) != 1 ||
                            BIO_meth_set_destroy(method, SocketBioDestroy) != 1 ||
                            BIO_meth_set_read(method, SocketBioRead) != 1 ||
                            BIO_meth_set_write(method, SocketBioWrite) != 1 ||
                            BIO_meth_set_ctrl(method, SocketBioCtrl) != 1)) {
    BIO_meth_free(method);
    return nullptr;
  }
  return method;
}

// A BIO over `fd` that never closes it, or nullptr.
BIO* NewSocketBio(int fd) {
  if (socket_bio_method == nullptr) {
    return nullptr;
  }
  BIO* bio = BIO_new(socket_bio_method);
  if (bio != nullptr) {
    StateOf(bio)->fd = fd;
    BIO_set_init(bio, 1);
  }
  return bio;
}

void SetReadsWait(BIO* bio, bool wait) { StateOf(bio)->reads_wait = wait; }

// OpenSSL 3 initialises its threading and seeds its random generator by itself: there is no
// lock table or thread-id callback to install and nothing to seed. What stays is the
// once-only start-up with the error texts loaded, and our socket BIO.
void StartTLSLibrary() {
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  socket_bio_method = MakeSocketBioMethod();
}

// Frees the calling thread's library state, its error queue included.
void ReleaseThreadState() { OPENSSL_thread_stop(); }

// ---- The named lock "SSL_CERT_MUTEX" -------------------------------------------------------

// A folder only this user can change: a real directory (no link), the user's own, and not
// writable by group or others. A file named in any other folder could be made first by
// someone else and held against us for ever.
bool IsPrivateFolder(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The user's home folders to try: $HOME, then the account's own entry (a service may run with
// another user's $HOME, or with none).
std::vector<std::string> HomeFolders() {
  std::vector<std::string> homes;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    homes.emplace_back(home);
  }
  passwd entry{};
  passwd* found = nullptr;
  char text[4096];
  if (getpwuid_r(geteuid(), &entry, text, sizeof text, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/' &&
      (homes.empty() || homes.front() != found->pw_dir)) {
    homes.emplace_back(found->pw_dir);
  }
  return homes;
}

// FOLDER/.cache/hosp, made (0700) where it is missing; empty when it cannot serve.
std::string HomeLockFolder(std::string folder) {
  for (const char* part : {"/.cache", "/hosp"}) {
    folder += part;
    mkdir(folder.c_str(), 0700);
  }
  return IsPrivateFolder(folder) ? folder : std::string();
}

// One lock file per user, in a folder only the user can write: the private runtime folder,
// else a folder in the user's home, else a 0700 folder of the user's own in /tmp. Empty when
// none of them can serve.
std::string LockFilePath() {
  std::string folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime)) {
    folder = runtime;
  }
  for (const std::string& home : HomeFolders()) {
    if (!folder.empty()) break;
    folder = HomeLockFolder(home);
  }
  if (folder.empty()) {
    const std::string own = "/tmp/hosp-" + std::to_string(geteuid());
    mkdir(own.c_str(), 0700);
    if (IsPrivateFolder(own)) folder = own;
  }
  return folder.empty() ? std::string() : folder + "/SSL_CERT_MUTEX";
}

// Opens the lock file, refusing a symbolic link and any file that is not the user's own,
// in case the folder changed hands after it was checked.
UniqueFd OpenLockFile(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) {
    return fd;
  }
  struct stat info {};
  if (fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    fd.Reset();
  }
  return fd;
}

// Holds "SSL_CERT_MUTEX", shared by all processes of the user, for its lifetime. flock() is
// released by the kernel when a holder dies, so no lock is ever left abandoned.
class CertificateLock {
 public:
  // Where no private folder can be had (another user took every place first), contexts are
  // made without the lock: OpenSSL 3 needs no lock of ours, and refusing every context would
  // let anyone on the machine stop the program. A bad lock file in a private folder is
  // still refused.
  CertificateLock() {
    const std::string path = LockFilePath();
    if (path.empty()) {
      return;
    }
    fd_ = OpenLockFile(path);
    if (!fd_.Valid() || !Acquire()) {
      fd_.Reset();
      throw TextException("WaitForSingleObject(SSL_CERT_MUTEX) Failed");
    }
  }
  CertificateLock(const CertificateLock&) = delete;
  CertificateLock& operator=(const CertificateLock&) = delete;

 private:
  bool Acquire() const {
    return RetryOnEintr([this] { return flock(fd_.Get(), LOCK_EX); }) == 0;
  }

  UniqueFd fd_;  // closing the descriptor drops the lock with it
};

// ---- Running library calls -----------------------------------------------------------------

// What a library call left to do; every SSL_get_error outcome is translated here and only here.
enum class Outcome { Done, WantRead, WantWrite, Ended };

Outcome Translate(SSL* ssl, int result) {
  if (result > 0) {
    return Outcome::Done;
  }
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return Outcome::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return Outcome::WantWrite;
    default:
      // SSL_ERROR_ZERO_RETURN: the peer's close alert. SSL_ERROR_SYSCALL: the connection
      // failed below TLS. SSL_ERROR_SSL: a protocol failure, or OpenSSL 3's "unexpected EOF",
      // which means the peer dropped the connection without a close alert. All of them end
      // the connection alike; the queued reasons go no further.
      ERR_clear_error();
      return Outcome::Ended;
  }
}

enum class Readiness { Ready, TimedOut, Failed };

// Waits until the socket can do what the library asked for, or until `deadline`.
Readiness AwaitSocket(int fd, Outcome want, const Deadline& deadline) {
  short revents = 0;
  const auto events = static_cast<short>(want == Outcome::WantWrite ? POLLOUT : POLLIN);
  const int ready = PollUntil(fd, events, deadline, revents);
  if (ready < 0 || (revents & POLLNVAL) != 0) {
    return Readiness::Failed;
  }
  return ready == 0 ? Readiness::TimedOut : Readiness::Ready;
}

// Runs one library call until it completes; when it needs the socket, waits for it (until
// `deadline`) and runs it again. Returns the call's positive result, 0 when the connection
// ended, SOCK_TIMEOUT, or SOCK_ERROR when the wait itself failed. The error queue is cleared
// before each call, so SSL_get_error judges this call alone.
template <typename Call>
int Complete(SSL* ssl, int fd, const Deadline& deadline, Call call) {
  for (;;) {
    ERR_clear_error();
    int result = call();
    Outcome outcome = Translate(ssl, result);
    if (outcome == Outcome::Done) {
      return result;
    }
    if (outcome == Outcome::Ended) {
      return 0;
    }
    Readiness readiness = AwaitSocket(fd, outcome, deadline);
    if (readiness == Readiness::TimedOut) {
      return SOCK_TIMEOUT;
    }
    if (readiness == Readiness::Failed) {
      return SOCK_ERROR;
    }
  }
}

// ---- Context set-up ------------------------------------------------------------------------

void LoadCredentials(SSL_CTX* ctx, const char* certificate_file, const char* key_file,
                     const char* pass_phrase, const char* authority_file) {
  if (certificate_file != nullptr &&
      SSL_CTX_use_certificate_file(ctx, certificate_file, SSL_FILETYPE_PEM) != 1) {
    throw TextException("Couldn't read certificate");
  }
  // Installed even without a pass phrase: an encrypted key then fails to load instead of
  // the library asking for the phrase on the terminal.
  SSL_CTX_set_default_passwd_cb(ctx, SecureSocket::PasswordCallback);
  SSL_CTX_set_default_passwd_cb_userdata(ctx, const_cast<char*>(pass_phrase));
  bool key_loaded =
      key_file == nullptr || SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) == 1;
  // The caller's pass phrase may not outlive this call; the context must not point at it.
  SSL_CTX_set_default_passwd_cb_userdata(ctx, nullptr);
  if (!key_loaded) {
    throw TextException("Couldn't read private key");
  }
  if (authority_file != nullptr &&
      SSL_CTX_load_verify_locations(ctx, authority_file, nullptr) != 1) {
    throw TextException("Couldn't read certificate authority");
  }
}

// Every compatibility workaround on and no protocol version switched off by us: what the
// version-flexible method then refuses is what the library's security level refuses.
void ApplyPolicy(SSL_CTX* ctx) {
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  if (SSL_CTX_set_cipher_list(ctx, "ALL") != 1) {
    throw TextException("Couldn't set cipher list");
  }
  if (SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char*>(kSessionIdContext),
                                     sizeof kSessionIdContext - 1) != 1) {
    throw TextException("Failed to set context session id");
  }
}

// Four times the granularity in which the system hands out memory: its page size here.
std::size_t FileChunkSize() {
  long page = sysconf(_SC_PAGESIZE);
  return 4 * static_cast<std::size_t>(page > 0 ? page : 4096);
}

}  // namespace

// ---- Construction and clean-up -------------------------------------------------------------

SecureSocket::SecureSocket(ssl_ctx_st* context) {
  InitTLSLibrary();
  UsageAcquire(thread_socket_count, nullptr);
  try {
    SecureSocket::Init(context);
  } catch (...) {
    // No destructor of ours will run: uncount, and let PlainSocket's destructor free the buffer.
    UsageRelease(thread_socket_count, ReleaseThreadState);
    derived_cleanup = 0;
    throw;
  }
}

SecureSocket::~SecureSocket() {
  SecureSocket::Cleanup();
  // After the clean-up, whose close alert may still use the thread's library state.
  UsageRelease(thread_socket_count, ReleaseThreadState);
}

void SecureSocket::Init(ssl_ctx_st* context) {
  // A repeated Init must not leak what an earlier one made.
  FreeSession();
  if (owns_ctx && ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
  }
  ssl_ctx = nullptr;
  borrowed = false;
  state = SOCK_STATE_DISCONNECTED;
  derived_cleanup = 1;
  if (context != nullptr) {
    owns_ctx = false;
    ssl_ctx = context;
    return;
  }
  owns_ctx = true;
  ssl_ctx = CreateContext(nullptr, nullptr, nullptr, nullptr);
  if (ssl_ctx == nullptr) {
    throw TextException("CTX == NULL");
  }
}

void SecureSocket::Cleanup() {
  Close();
  FreeSession();
  if (owns_ctx && ssl_ctx != nullptr) {
    SSL_CTX_free(ssl_ctx);
    ssl_ctx = nullptr;
  }
  // ERR_free_strings has nothing to do in OpenSSL 3: the library frees its texts at exit.
  if (recv_buffer != nullptr) {
    MemoryRelease(recv_buffer);
  }
  CloseSocket();
}

void SecureSocket::FreeSession() {
  SSL_free(ssl);  // the BIO goes with it
  ssl = nullptr;
  bio = nullptr;
}

// ---- Process-wide set-up -------------------------------------------------------------------

void SecureSocket::InitTLSLibrary() { CallOnce(tls_startup_flag, StartTLSLibrary); }

ssl_ctx_st* SecureSocket::CreateContext(const char* certificate_file, const char* key_file,
                                        const char* pass_phrase, const char* authority_file) {
  InitTLSLibrary();
  SslContextPointer ctx;
  try {
    CertificateLock lock;
    ctx.reset(SSL_CTX_new(TLS_method()));
    if (ctx == nullptr) {
      throw TextException("SSL_CTX_new() returned NULL");
    }
    LoadCredentials(ctx.get(), certificate_file, key_file, pass_phrase, authority_file);
    ApplyPolicy(ctx.get());
    return ctx.release();
  } catch (const TextException&) {
    ERR_clear_error();
    return nullptr;
  }
}

int SecureSocket::PasswordCallback(char* buffer, int size, int /*direction*/, void* user_data) {
  const auto* pass_phrase = static_cast<const char*>(user_data);
  if (buffer == nullptr || pass_phrase == nullptr || size <= 0) {
    return 0;
  }
  std::size_t length = std::strlen(pass_phrase);
  if (static_cast<std::size_t>(size) < length + 1) {
    return 0;
  }
  std::memcpy(buffer, pass_phrase, length + 1);
  return static_cast<int>(length);
}

// ---- Connections ---------------------------------------------------------------------------

void SecureSocket::CreateSession() {
  // The old session goes first, so whatever fails below leaves no session at all.
  FreeSession();
  if (!IsValidSocket(handle)) {
    throw TextException("Socket == INVALID_SOCKET");
  }
  if (ssl_ctx == nullptr) {
    throw TextException("ctx == NULL");
  }
  SslPointer session(SSL_new(ssl_ctx));
  if (session == nullptr) {
    throw TextException("ssl == NULL");
  }
  BIO* socket_bio = NewSocketBio(handle);
  if (socket_bio == nullptr) {
    throw TextException("sslbio == NULL");
  }
  SSL_set_bio(session.get(), socket_bio, socket_bio);
  ssl = session.release();
  bio = socket_bio;
}

int SecureSocket::Connect(const char* host, int port) {
  // A second Connect must neither leak the previous descriptor nor keep its state, its
  // buffered bytes or the borrowed flag of an earlier Attach: the new descriptor is ours.
  Close();
  state = SOCK_STATE_DISCONNECTED;
  ClearBuffer();
  borrowed = false;
  // A name that does not fit host_name is refused rather than cut to another name.
  if (host == nullptr || std::strlen(host) >= sizeof host_name) {
    return SOCK_ERROR;
  }
  std::strcpy(host_name, host);
  if (TCPConnect(host_name, port) != SOCK_SUCCESS) {
    return SOCK_ERROR;
  }
  if (TLSConnect(host_name) != SOCK_SUCCESS) {
    return SOCK_ERROR;
  }
  return SOCK_SUCCESS;
}

// Unless server_identity demands otherwise, the server's certificate is not examined: the
// traffic is encrypted, the server not authenticated, and `host` is compared with nothing.
int SecureSocket::TLSConnect(const char* host) {
  CreateSession();
  identity_refused = false;
  SSL* session = ssl;
  if (server_identity.Demanded()) NameServer(host);
  auto handshake = [session] { return SSL_connect(session); };
  int result = 0;
  if (!wait_hook) {
    result = Complete(session, handle, std::nullopt, handshake);
  } else {
    // In slices: reads must not wait inside the library, and between two slices the
    // caller decides whether the handshake goes on.
    SetReadsWait(bio, false);
    do {
      result = Complete(
          session, handle,
          std::chrono::steady_clock::now() + std::chrono::microseconds(WAIT_SLICE_MICROSECONDS),
          handshake);
    } while (result == SOCK_TIMEOUT && wait_hook());
  }
  if (result <= 0) {
    return SOCK_ERROR;
  }
  if (server_identity.Demanded() && !server_identity.Verify(session, host != nullptr ? host : "")) {
    // Nothing more goes to a server that could not prove who it is.
    identity_refused = true;
    Close();
    return SOCK_ERROR;
  }
  state = SOCK_STATE_CONNECTED;
  return SOCK_SUCCESS;
}

// A server that keeps several certificates picks the one for the name it is asked for;
// only where the name is checked, so the specified handshake stays as it was elsewhere.
void SecureSocket::NameServer(const char* host) {
  if (server_identity.AuthorityFile().empty() || host == nullptr || host[0] == '\0') return;
  unsigned char address[16];
  if (inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1) return;
  SSL_set_tlsext_host_name(ssl, host);
}

int SecureSocket::Attach(SocketHandle socket, bool borrow) {
  borrowed = borrow;
  // As PlainSocket does: the previous connection is closed rather than leaked, and no byte
  // of it may be served as if the new peer had sent it.
  Close();
  ClearBuffer();
  state = SOCK_STATE_DISCONNECTED;
  handle = socket;
  try {
    CreateSession();
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
  SSL* session = ssl;
  if (Complete(session, handle, std::nullopt, [session] { return SSL_accept(session); }) != 1) {
    return SOCK_ERROR;
  }
  state = SOCK_STATE_CONNECTED;
  return SOCK_SUCCESS;
}

void SecureSocket::Close() {
  if (state != SOCK_STATE_ERROR) {
    state = SOCK_STATE_DISCONNECTED;
    ClearBuffer();
  }
  SendCloseAlert();
  CloseSocket();
}

// Sends the close alert once, without waiting for the peer's. Only an established session
// over a descriptor that is still ours has anyone to tell: once closed, the descriptor's
// number may already belong to another file.
void SecureSocket::SendCloseAlert() {
  if (ssl == nullptr || !IsValidSocket(handle) || SSL_is_init_finished(ssl) != 1 ||
      (SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) != 0) {
    return;
  }
  ERR_clear_error();
  SSL_shutdown(ssl);
  ERR_clear_error();
}

// ---- Sending -------------------------------------------------------------------------------

int SecureSocket::SendText(std::string text) {
  return Send(text.data(), static_cast<int>(text.size()));
}

int SecureSocket::Send(const char* data, int length) {
  if (data == nullptr || state != SOCK_STATE_CONNECTED) {
    return SOCK_SUCCESS;
  }
  if (length == 0) {
    length = static_cast<int>(std::strlen(data));
  }
  SSL* session = ssl;
  while (length > 0) {
    // A write that must wait for the socket waits: returning early would drop the rest.
    int written = Complete(session, handle, std::nullopt,
                           [session, data, length] { return SSL_write(session, data, length); });
    if (written <= 0) {
      return SOCK_ERROR;
    }
    data += written;
    length -= written;
  }
  return SOCK_SUCCESS;
}

int SecureSocket::SendFile(const char* file_name) {
  try {
    if (state != SOCK_STATE_CONNECTED) {
      throw TextException("State != SOCK_STATE_CONNECTED");
    }
    const UniqueFd file(file_name != nullptr ? open(file_name, O_RDONLY | O_CLOEXEC) : -1);
    if (file.Get() < 0) {
      throw TextException("CreateFile() returned NULL");
    }
    posix_fadvise(file.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return SendOpenFile(file.Get());
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
}

int SecureSocket::SendFile(FileHandle file) {
  try {
    if (state != SOCK_STATE_CONNECTED) {
      throw TextException("State != SOCK_STATE_CONNECTED");
    }
    if (file < 0) {
      throw TextException("SecureSocket::SendFile(HANDLE) - HANDLE is NULL");
    }
    return SendOpenFile(file);
  } catch (const TextException&) {
    return SOCK_ERROR;
  }
}

// Sends the file's size in bytes from its current position, chunk by chunk.
int SecureSocket::SendOpenFile(FileHandle file) {
  struct stat info {};
  if (fstat(file, &info) != 0) {
    return SOCK_ERROR;
  }
  auto size = static_cast<unsigned long long>(std::max<off_t>(info.st_size, 0));
  bytes_sent = 0;
  file_size = static_cast<std::uint32_t>(size);
  sending_file = true;
  int result = SendFileChunks(file, size);
  sending_file = false;
  return result;
}

// The whole size is sent, even past 4 GiB where the 32-bit counters only wrap.
int SecureSocket::SendFileChunks(FileHandle file, unsigned long long size) {
  const std::size_t chunk = FileChunkSize();
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[chunk]);
  if (buffer == nullptr) {
    return SOCK_ERROR;
  }
  unsigned long long offset = 0;
  while (offset < size) {
    auto wanted = static_cast<std::size_t>(std::min<unsigned long long>(chunk, size - offset));
    ssize_t n = RetryOnEintr([&] { return read(file, buffer.get(), wanted); });
    // A file shortened meanwhile or a read error ends the transfer; a count of 0 must never
    // reach Send, which would take it as "up to the first 0 byte".
    if (n <= 0) {
      return SOCK_ERROR;
    }
    if (Send(buffer.get(), static_cast<int>(n)) != SOCK_SUCCESS) {
      return SOCK_ERROR;
    }
    bytes_sent += static_cast<std::uint32_t>(n);
    offset += static_cast<unsigned long long>(n);
  }
  return SOCK_SUCCESS;
}

// ---- Receiving -----------------------------------------------------------------------------

int SecureSocket::Pending() {
  if (state != SOCK_STATE_CONNECTED || ssl == nullptr) {
    return 0;
  }
  return SSL_pending(ssl);
}

// As PlainSocket's, except that the library is asked first: bytes it has already decrypted
// (or received) count as available, so no reader waits on the socket for them. The waiting
// itself is ppoll() inside ReadRecord; read_set is not used.
int SecureSocket::WaitForData(bool force, int seconds, int microseconds) {
  Deadline deadline = DeadlineAfter(seconds, microseconds);
  if (!force && recv_count > 0) {
    return recv_count;
  }
  if (state != SOCK_STATE_CONNECTED) {
    return SOCK_DISCONNECTED;
  }
  return ReadRecord(deadline);
}

// Called on its own it waits without limit for application bytes or the end of the
// connection; every failure closes and gives 0.
int SecureSocket::FillBuffer() {
  if (state != SOCK_STATE_CONNECTED) {
    return 0;
  }
  return std::max(ReadRecord(std::nullopt), 0);
}

int SecureSocket::ReadRecord(const Deadline& deadline) {
  if (!EnsureBuffer()) {
    return SOCK_ERROR;  // only after Cleanup
  }
  int free = RECV_BUFFER_CAPACITY - recv_count;
  if (free <= 0) {
    return recv_count;  // as PlainSocket: a full buffer is not read into
  }
  SetReadsWait(bio, !deadline.has_value());
  SSL* session = ssl;
  char* space = recv_buffer + recv_count;
  int result = Complete(session, handle, deadline,
                        [session, space, free] { return SSL_read(session, space, free); });
  if (result > 0) {
    recv_count += result;
    recv_buffer[recv_count] = '\0';
    return result;
  }
  if (result == 0 || result == SOCK_ERROR) {
    Close();
  }
  return result;
}
