// Real TLS peers for the secure socket tests: certificates, openssl children, a server thread.
#include "TlsTestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "OpenSslOwners.h"

namespace tls_test {
namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    throw std::runtime_error(what);
  }
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  Require(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "extension");
  X509_EXTENSION_free(extension);
}

void AddSubjectAltName(X509* certificate, const std::string& name) {
  const bool address = name.find_first_not_of("0123456789.") == std::string::npos;
  AddExtension(certificate, certificate, NID_subject_alt_name, (address ? "IP:" : "DNS:") + name);
}

// A certificate for `key` with the subject `name`, valid as `details` says, not yet signed.
X509Pointer UnsignedCertificate(EVP_PKEY* key, const std::string& name,
                                const CertificateDetails& details) {
  X509Pointer certificate(X509_new());
  X509* x = certificate.get();
  Require(x != nullptr, "X509_new");
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), static_cast<long>(std::rand() & 0x7fffffff));
  X509_gmtime_adj(X509_getm_notBefore(x), details.valid_from_seconds);
  X509_gmtime_adj(X509_getm_notAfter(x), details.valid_until_seconds);
  X509_set_pubkey(x, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  return certificate;
}

X509Pointer MakeCertificate(EVP_PKEY* key, const CertificateDetails& details) {
  X509Pointer certificate = UnsignedCertificate(key, details.name, details);
  X509* x = certificate.get();
  X509_set_issuer_name(x, X509_get_subject_name(x));
  AddSubjectAltName(x, details.name);
  Require(X509_sign(x, key, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

void WriteKey(EVP_PKEY* key, const std::string& file, const std::string& pass_phrase) {
  BioPointer out(BIO_new_file(file.c_str(), "w"));
  Require(out != nullptr, "key file");
  const EVP_CIPHER* cipher = pass_phrase.empty() ? nullptr : EVP_aes_256_cbc();
  auto* phrase = reinterpret_cast<unsigned char*>(const_cast<char*>(pass_phrase.c_str()));
  Require(PEM_write_bio_PrivateKey(out.get(), key, cipher, cipher ? phrase : nullptr,
                                   static_cast<int>(pass_phrase.size()), nullptr, nullptr) == 1,
          "PEM key");
}

void WriteCertificate(X509* certificate, const std::string& file) {
  BioPointer out(BIO_new_file(file.c_str(), "w"));
  Require(out != nullptr && PEM_write_bio_X509(out.get(), certificate) == 1, "PEM certificate");
}

std::set<std::string> SocketInodes(const std::string& process) {
  std::set<std::string> inodes;
  std::error_code error;
  std::string folder = "/proc/" + process + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) {
      inodes.insert(target.substr(8, target.size() - 9));
    }
  }
  return inodes;
}

// Scans /proc/<pid>/net/tcp for a listening socket ("0A") among the process's own sockets.
// Sockets this process holds too are skipped: until the child has run exec, it still holds
// copies of ours, listeners of other tests included.
int FindListeningPort(pid_t pid) {
  std::set<std::string> inodes = SocketInodes(std::to_string(pid));
  for (const std::string& ours : SocketInodes("self")) {
    inodes.erase(ours);
  }
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, status, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> status >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (status == "0A" && inodes.count(inode) != 0) {
      return static_cast<int>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return 0;
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tls-test-XXXXXX").string();
  Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

template <typename T>
std::unique_ptr<T, OpenSslFree> ReadPem(const std::string& file,
                                        T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
  BioPointer in(BIO_new_file(file.c_str(), "r"));
  Require(in != nullptr, "PEM file");
  std::unique_ptr<T, OpenSslFree> object(read(in.get(), nullptr, nullptr, nullptr));
  Require(object != nullptr, "PEM contents");
  return object;
}

// Writes STEM.crt and STEM.key (encrypted when `pass_phrase` is not empty) into `dir`.
Credentials SaveCredentials(const TempDir& dir, const std::string& stem, X509* certificate,
                            EVP_PKEY* key, const std::string& pass_phrase) {
  Credentials credentials{dir.Path(stem + ".crt"), dir.Path(stem + ".key")};
  WriteCertificate(certificate, credentials.certificate_file);
  WriteKey(key, credentials.key_file, pass_phrase);
  return credentials;
}

}  // namespace

Credentials MakeAuthority(const TempDir& dir, const std::string& stem) {
  KeyPointer key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "EVP_EC_gen");
  X509Pointer certificate = UnsignedCertificate(key.get(), stem, {stem, -3600, 86400});
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
  AddExtension(certificate.get(), certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(certificate.get(), certificate.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  Require(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
  return SaveCredentials(dir, stem, certificate.get(), key.get(), "");
}

Credentials MakeIssuedCredentials(const TempDir& dir, const std::string& stem,
                                  const CertificateDetails& details, const Credentials& authority) {
  auto issuer = ReadPem<X509>(authority.certificate_file, PEM_read_bio_X509);
  auto issuer_key = ReadPem<EVP_PKEY>(authority.key_file, PEM_read_bio_PrivateKey);
  KeyPointer key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "EVP_EC_gen");
  X509Pointer certificate = UnsignedCertificate(key.get(), details.name, details);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuer.get()));
  if (details.alt_name) AddSubjectAltName(certificate.get(), details.name);
  AddExtension(certificate.get(), issuer.get(), NID_ext_key_usage, "serverAuth");
  Require(X509_sign(certificate.get(), issuer_key.get(), EVP_sha256()) > 0, "X509_sign");
  return SaveCredentials(dir, stem, certificate.get(), key.get(), "");
}

Credentials MakeCredentials(const TempDir& dir, const std::string& stem,
                            const CertificateDetails& details) {
  KeyPointer key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "EVP_EC_gen");
  X509Pointer certificate = MakeCertificate(key.get(), details);
  return SaveCredentials(dir, stem, certificate.get(), key.get(), details.pass_phrase);
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
  auto [input_ours, input_theirs] = loopback::MakeSocketPair();
  auto [output_ours, output_theirs] = loopback::MakeSocketPair();
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  Require(pid_ >= 0, "fork");
  if (pid_ == 0) {
    // Only async-signal-safe calls here. A test that dies must not leave an openssl server
    // waiting for a client for ever, hence the death signal.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (getppid() != parent || dup2(input_theirs.Get(), STDIN_FILENO) < 0 ||
        dup2(output_theirs.Get(), STDOUT_FILENO) < 0 || dup2(null, STDERR_FILENO) < 0) {
      _exit(127);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  input_ = std::move(input_ours);
  output_ = std::move(output_ours);
}

ChildProcess::~ChildProcess() { Kill(); }

void ChildProcess::Kill() {
  if (pid_ <= 0) {
    return;
  }
  kill(pid_, SIGKILL);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (waitpid(pid_, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < give_up) {
    usleep(1000);
  }
  pid_ = -1;
}

OpensslServer::OpensslServer(const Credentials& credentials,
                             const std::vector<std::string>& extra_arguments)
    : process_([&] {
        std::vector<std::string> arguments{"openssl",  "s_server",
                                           "-accept",  "127.0.0.1:0",
                                           "-cert",    credentials.certificate_file,
                                           "-key",     credentials.key_file,
                                           "-naccept", "1",
                                           "-quiet",   "-no_ign_eof"};
        arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
        return arguments;
      }()),
      port_(ListeningPort(process_.Pid())) {
  Require(port_ != 0, "openssl s_server did not start listening");
}

int ListeningPort(pid_t pid) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < give_up) {
    if (int port = FindListeningPort(pid); port != 0) {
      return port;
    }
    usleep(5000);
  }
  return 0;
}

ServerThread::ServerThread(ssl_ctx_st* context, Serve serve)
    : thread_([this, context, serve = std::move(serve)] {
        UniqueFd accepted = listener_.Accept(10000);
        if (accepted.Get() < 0) {
          return;
        }
        SecureSocket server(context);
        if (server.Attach(accepted.Release(), false) == SOCK_SUCCESS) {
          serve(server);
        }
      }) {}

ServerThread::~ServerThread() { thread_.join(); }

std::string PatternBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

bool WaitReadable(int fd, int timeout_ms) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeout_ms) == 1;
}

}  // namespace tls_test
