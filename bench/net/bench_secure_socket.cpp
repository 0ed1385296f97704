// Speed of SecureSocket::Read on a 256 MiB loopback TLS transfer against a raw SSL_read loop.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "OpenSslOwners.h"
#include "SecureSocket.h"

namespace {

constexpr std::size_t kTransferBytes = 256u << 20;
constexpr int kReadBlock = 50000;
constexpr std::size_t kWriteBlock = 1u << 20;

using Clock = std::chrono::steady_clock;

void Require(bool condition, const char* what) {
  if (!condition) {
    throw std::runtime_error(what);
  }
}

// A server context as the reference server makes it, with a throwaway certificate in memory.
SslContextPointer MakeServerContext() {
  SslContextPointer ctx(SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr));
  Require(ctx != nullptr, "CreateContext");
  KeyPointer key(EVP_EC_gen("P-256"));
  X509Pointer certificate(X509_new());
  Require(key != nullptr && certificate != nullptr, "key or certificate");
  X509* x = certificate.get();
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  X509_gmtime_adj(X509_getm_notBefore(x), -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_set_pubkey(x, key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0);
  X509_set_issuer_name(x, X509_get_subject_name(x));
  Require(X509_sign(x, key.get(), EVP_sha256()) > 0, "X509_sign");
  Require(SSL_CTX_use_certificate(ctx.get(), x) == 1 &&
              SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1,
          "server credentials");
  return ctx;
}

SSL_CTX* ServerContext() {
  static SslContextPointer ctx = MakeServerContext();
  return ctx.get();
}

// Accepts one connection and sends kTransferBytes over TLS with plain OpenSSL calls, so both
// readers face the very same sender.
class Sender {
 public:
  Sender() : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    Require(bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                listen(listener_, 1) == 0 &&
                getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0,
            "listener");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() {
    thread_.join();
    close(listener_);
  }
  int Port() const { return port_; }

 private:
  void Serve() {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    SslPointer ssl(SSL_new(ServerContext()));
    if (fd >= 0 && ssl != nullptr && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1) {
      const std::vector<char> block(kWriteBlock, 'b');
      for (std::size_t sent = 0; sent < kTransferBytes; sent += kWriteBlock) {
        if (SSL_write(ssl.get(), block.data(), static_cast<int>(kWriteBlock)) <= 0) {
          break;
        }
      }
      SSL_shutdown(ssl.get());
    }
    if (fd >= 0) {
      close(fd);
    }
  }

  int listener_;
  int port_ = 0;
  std::thread thread_;
};

// The raw reader's connection gets the options SecureSocket gives its own.
int ConnectLikeSecureSocket(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  int on = 1;
  int buffer = 131072;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  Require(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "connect");
  return fd;
}

void BM_RawSslRead(benchmark::State& state) {
  std::vector<char> block(kReadBlock + 1);
  for (auto _ : state) {
    Sender sender;
    SslContextPointer ctx(SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr));
    int fd = ConnectLikeSecureSocket(sender.Port());
    SslPointer ssl(SSL_new(ctx.get()));
    Require(SSL_set_fd(ssl.get(), fd) == 1 && SSL_connect(ssl.get()) == 1, "raw handshake");
    std::size_t total = 0;
    auto start = Clock::now();
    while (total < kTransferBytes) {
      int n = SSL_read(ssl.get(), block.data(), kReadBlock);
      if (n <= 0) {
        break;
      }
      total += static_cast<std::size_t>(n);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    ssl.reset();
    close(fd);
    if (total != kTransferBytes) {
      state.SkipWithError("raw transfer incomplete");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTransferBytes));
}

void BM_SecureSocketRead(benchmark::State& state) {
  std::vector<char> block(kReadBlock + 1);
  for (auto _ : state) {
    Sender sender;
    SecureSocket client;
    Require(client.Connect("127.0.0.1", sender.Port()) == SOCK_SUCCESS, "secure handshake");
    std::size_t total = 0;
    auto start = Clock::now();
    while (total < kTransferBytes) {
      int n = client.Read(block.data(), kReadBlock, -1, 0);
      if (n <= 0) {
        break;
      }
      total += static_cast<std::size_t>(n);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (total != kTransferBytes) {
      state.SkipWithError("SecureSocket transfer incomplete");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTransferBytes));
}

// Each transfer is long enough on its own; the best of a few runs stands for each reader,
// which keeps the ratio steady on a machine shared with other work.
BENCHMARK(BM_RawSslRead)
    ->Iterations(1)
    ->Repetitions(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SecureSocketRead)
    ->Iterations(1)
    ->Repetitions(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Remembers the fastest run of each benchmark while printing as usual.
class BestTimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        double seconds = run.GetAdjustedRealTime();
        auto [entry, added] = best_.try_emplace(run.run_name.function_name, seconds);
        if (!added) {
          entry->second = std::min(entry->second, seconds);
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double Best(const std::string& name) const {
    auto found = best_.find(name);
    return found != best_.end() ? found->second : std::numeric_limits<double>::quiet_NaN();
  }

 private:
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  // Alternating the runs of the two readers lets passing load hit both alike.
  std::vector<char*> arguments(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave.data());
  argc = static_cast<int>(arguments.size());
  argv = arguments.data();
  benchmark::Initialize(&argc, argv);
  BestTimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  double raw = reporter.Best("BM_RawSslRead");
  double secure = reporter.Best("BM_SecureSocketRead");
  std::printf("SecureSocket::Read / raw SSL_read throughput ratio: %.3f (expected >= 0.85)\n",
              raw / secure);
  return 0;
}
