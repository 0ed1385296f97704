// Real TLS peers for the secure socket tests: certificates, openssl children, a server thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LoopbackPair.h"
#include "SecureSocket.h"

namespace tls_test {

// A fresh folder under the system's temp folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::string& Folder() const { return path_; }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CertificateDetails {
  CertificateDetails(std::string subject, long from = -3600, long until = 86400,
                     std::string phrase = "")
      : name(std::move(subject)),
        valid_from_seconds(from),
        valid_until_seconds(until),
        pass_phrase(std::move(phrase)) {}

  std::string name;          // subject common name and DNS name
  long valid_from_seconds;   // relative to now
  long valid_until_seconds;  // relative to now
  std::string pass_phrase;   // non-empty: the key file is encrypted with it
  bool alt_name = true;      // false: the name is the common name only
};

struct Credentials {
  std::string certificate_file;
  std::string key_file;
};

// Writes a self-signed certificate and its EC private key as PEM files into `dir`.
Credentials MakeCredentials(const TempDir& dir, const std::string& stem,
                            const CertificateDetails& details);
// A certificate authority: a self-signed CA certificate for `stem` and its key.
Credentials MakeAuthority(const TempDir& dir, const std::string& stem);
// A server certificate issued by `authority` for `details.name` (a DNS name or an IP address).
Credentials MakeIssuedCredentials(const TempDir& dir, const std::string& stem,
                                  const CertificateDetails& details, const Credentials& authority);

// A child process with its standard input and output connected to local stream sockets
// (sockets, not pipes, so writing to a child that has gone cannot raise SIGPIPE).
// The child is killed by its PID when the object goes, and by the system when the thread
// that made it ends.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& arguments);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t Pid() const { return pid_; }
  int Input() const { return input_.Get(); }
  int Output() const { return output_.Get(); }
  // End of input for the child: an openssl peer started with -no_ign_eof then closes its side.
  void CloseInput() { input_.Reset(); }
  // SIGKILL and reap, waiting at most a few seconds.
  void Kill();

 private:
  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
};

// `openssl s_server` on 127.0.0.1 with a port of the system's choosing, serving one
// connection quietly: what the client sends appears on Output(), what is written to
// Input() goes to the client.
class OpensslServer {
 public:
  explicit OpensslServer(const Credentials& credentials,
                         const std::vector<std::string>& extra_arguments = {});
  int Port() const { return port_; }
  ChildProcess& Process() { return process_; }

 private:
  ChildProcess process_;
  int port_ = 0;
};

// The listening TCP port of process `pid`, found through /proc; 0 when none appears in time.
int ListeningPort(pid_t pid);

// Accepts one connection on a loopback listener, attaches a SecureSocket with `context` on
// it and runs `serve` with it (only when the handshake succeeded). Joined on destruction.
class ServerThread {
 public:
  using Serve = std::function<void(SecureSocket&)>;
  ServerThread(ssl_ctx_st* context, Serve serve);
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;
  ~ServerThread();
  int Port() const { return listener_.Port(); }

 private:
  loopback::Listener listener_;
  std::thread thread_;
};

// Bytes 0..255 in a scrambled order that repeats rarely; `seed` makes different streams.
std::string PatternBytes(std::size_t size, unsigned seed);

// Waits until `fd` is readable; false when the limit passes first.
bool WaitReadable(int fd, int timeout_ms);

}  // namespace tls_test
