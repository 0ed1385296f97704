// The server connection's answer reading and TLS download against the raw socket reading the same
// bytes.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "DataFrame.h"
#include "SecureSocket.h"
#include "dbServerConnection.h"

namespace {

constexpr int kChunk = 50000;
constexpr std::size_t kAnswerBytes = 10 * 1000 * 1000;
constexpr std::size_t kFileBytes = 256u * 1024 * 1024;
constexpr std::size_t kSendBlock = 1024 * 1024;
constexpr std::uint32_t kFileDate = 0x586F6DAF;

// A function-server answer: a case list in the compact JSON dialect, as large as asked.
std::string CaseListAnswer() {
  std::string text = "{CaseList:[";
  for (int i = 0; text.size() < kAnswerBytes; ++i) {
    text += "{FieldList:{CaseNo:" + std::to_string(100000 + i) + ",Title:\"Patient " +
            std::to_string(i) + ", ward " + std::to_string(i % 9) +
            "\",DischargeDate:\"2024-03-15\"},NeedsList:[\"Home care\",\"Transport\"]},";
  }
  text.resize(kAnswerBytes - 2);
  text += "]}";
  text += '\0';
  return text;
}

// A data-server answer of the same size: record lines of names and values, some quoted.
std::string CommaTextAnswer() {
  std::string text;
  for (int i = 0; text.size() < kAnswerBytes; ++i) {
    text += "f" + std::to_string(i % 97) + "=" + std::to_string(i) + "," + "\"Note" +
            std::to_string(i % 13) + "=seen by ward " + std::to_string(i % 7) + "\",";
  }
  text.resize(kAnswerBytes);
  text += '\0';
  return text;
}

const std::string& Answer(bool comma_text) {
  static const std::string json = CaseListAnswer();
  static const std::string comma = CommaTextAnswer();
  return comma_text ? comma : json;
}

const std::string& FileBlock() {
  static const std::string block = [] {
    std::string bytes(kSendBlock, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    return bytes;
  }();
  return block;
}

// A throwaway certificate and key for the TLS server side, removed at exit.
class ServerCertificate {
 public:
  ServerCertificate() {
    char pattern[] = "/tmp/hosp-bench-cert-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary folder");
    folder_ = pattern;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    X509_sign(cert, key, EVP_sha256());
    FILE* f = std::fopen(CertPath().c_str(), "w");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(KeyPath().c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  ~ServerCertificate() { std::filesystem::remove_all(folder_); }
  std::string CertPath() const { return folder_ + "/cert.pem"; }
  std::string KeyPath() const { return folder_ + "/key.pem"; }

 private:
  std::string folder_;
};

// Serves one client at a time on 127.0.0.1: a bare text gets the 10 MB answer; a handshake
// frame gets an accepting answer; a download frame gets the header, the file and a closing answer.
class BenchServer {
 public:
  explicit BenchServer(bool tls, bool comma_text = false) : comma_text_(comma_text) {
    if (tls) {
      static const ServerCertificate certificate;
      context_ = SecureSocket::CreateContext(certificate.CertPath().c_str(),
                                             certificate.KeyPath().c_str(), nullptr, nullptr);
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 4);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { AcceptLoop(); });
  }
  ~BenchServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
    if (context_ != nullptr) SSL_CTX_free(context_);
  }
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  int Port() const { return port_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd entry{listener_, POLLIN, 0};
      if (poll(&entry, 1, 50) != 1) continue;
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::unique_ptr<PlainSocket> peer;
      if (context_ != nullptr) {
        peer = std::make_unique<SecureSocket>(context_);
      } else {
        peer = std::make_unique<PlainSocket>();
      }
      if (peer->Attach(fd, false) == SOCK_SUCCESS) Serve(*peer);
    }
  }

  void Serve(PlainSocket& peer) {
    while (!stop_ && peer.state == SOCK_STATE_CONNECTED) {
      if (!(context_ != nullptr ? AnswerFrame(peer) : AnswerText(peer))) return;
    }
  }

  // The function-server kind: a bare text up to its 0 gets the 10 MB answer.
  bool AnswerText(PlainSocket& peer) {
    std::vector<char> buffer(kChunk + 1);
    int n = peer.ReadToNul(buffer.data(), kChunk, 0, 50000);
    if (n == SOCK_TIMEOUT) return true;
    if (n <= 0) return false;
    const std::string& answer = Answer(comma_text_);
    return peer.Send(answer.data(), static_cast<int>(answer.size())) == SOCK_SUCCESS;
  }

  // The data-server kind: a handshake frame is accepted, any other frame is a download.
  bool AnswerFrame(PlainSocket& peer) {
    constexpr int kHeader = static_cast<int>(kFrameHeaderSize);
    char header[kHeader];
    int n = peer.Read(header, kHeader, 0, 50000);
    if (n == 0) return true;
    if (n != kHeader) return false;
    const FrameHeader frame = DecodeFrameHeader(header);
    std::vector<char> text(static_cast<std::size_t>(frame.length) + 1);
    if (peer.Read(text.data(), frame.length, 5, 0) != frame.length) return false;
    if (frame.type == FrameType::Handshake) {
      SendText(peer, "Date=45000.5,RunningFolder=B,RemoteIP=127.0.0.1,Accepted=Y");
    } else {
      SendFile(peer);
    }
    return true;
  }

  static void SendText(PlainSocket& peer, const std::string& text) {
    peer.Send(text.c_str(), static_cast<int>(text.size()) + 1);
  }

  static void SendFile(PlainSocket& peer) {
    std::string header = EncodeDownloadHeader({static_cast<std::int32_t>(kFileBytes), kFileDate});
    peer.Send(header.data(), static_cast<int>(header.size()));
    for (std::size_t sent = 0; sent < kFileBytes; sent += kSendBlock) {
      if (peer.Send(FileBlock().data(), static_cast<int>(kSendBlock)) != SOCK_SUCCESS) return;
    }
    SendText(peer, "ErrorCode=0");
  }

  bool comma_text_;
  ssl_ctx_st* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The download request as the connection frames it.
std::string DownloadFrame(const std::string& name) {
  return EncodeFrame(FrameType::File, FrameSubtype::FileDownload, name);
}

// Reference: the raw socket reads the answer in chunks up to its 0 byte; with `keep` the
// chunks are joined into one text, as any reader that uses the answer must.
void RawAnswer(benchmark::State& state, bool comma_text, bool keep) {
  BenchServer server(false, comma_text);
  PlainSocket socket;
  if (socket.Connect("127.0.0.1", server.Port()) != SOCK_SUCCESS) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<char> chunk(kChunk + 1);
  std::string kept;
  for (auto _ : state) {
    socket.Send("x", 2);
    kept.clear();
    int result = 0;
    while (result == 0) {
      result = socket.ReadToNul(chunk.data(), kChunk, -1, 0);
      if (keep && result >= 0) kept.append(chunk.data(), result > 0 ? result - 1 : kChunk);
    }
    if (result < 0) {
      state.SkipWithError("ReadToNul failed");
      return;
    }
    benchmark::DoNotOptimize(chunk.data());
    benchmark::DoNotOptimize(kept.data());
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * Answer(comma_text).size()));
}

// The connection's way: ExchangeText, whose ReadAnswer joins the chunks and reads the
// answer's "Error" and "ErrorCode".
void ConnectionAnswer(benchmark::State& state, bool comma_text) {
  BenchServer server(false, comma_text);
  dbServerConnection connection("127.0.0.1", std::to_string(server.Port()), "", "", false, -1);
  for (auto _ : state) {
    if (!connection.ExchangeText("x")) {
      state.SkipWithError("ExchangeText failed");
      return;
    }
    benchmark::DoNotOptimize(connection.AnswerText.data());
    benchmark::DoNotOptimize(connection.ErrorCode);
  }
  state.SetBytesProcessed(
      static_cast<std::int64_t>(state.iterations() * Answer(comma_text).size()));
}

void RawJsonAnswer(benchmark::State& state) { RawAnswer(state, false, false); }
void RawJsonAnswerKept(benchmark::State& state) { RawAnswer(state, false, true); }
void ConnectionJsonAnswer(benchmark::State& state) { ConnectionAnswer(state, false); }
void RawCommaAnswerKept(benchmark::State& state) { RawAnswer(state, true, true); }
void ConnectionCommaAnswer(benchmark::State& state) { ConnectionAnswer(state, true); }

// The file lands in memory-backed storage where there is one, so the disk does not
// decide the comparison.
std::string DownloadPath() {
  std::string folder = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
  return folder + "/hosp-bench-download-" + std::to_string(getpid());
}

// Reference: the raw TLS socket reads the header, the file's bytes in 50,000-byte blocks
// and the closing answer; with `to_file` the blocks are written to a new file, as any
// download must.
void RawDownload(benchmark::State& state, bool to_file) {
  BenchServer server(true);
  SecureSocket socket;
  if (socket.Connect("127.0.0.1", server.Port()) != SOCK_SUCCESS) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<char> block(kChunk + 1);
  const std::string frame = DownloadFrame("Clients\\Pellomarquin.exe");
  const std::string path = DownloadPath();
  for (auto _ : state) {
    int fd = -1;
    if (to_file) {
      unlink(path.c_str());
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    socket.Send(frame.data(), static_cast<int>(frame.size()));
    bool whole = socket.Read(block.data(), 8, -1, 0) == 8;
    for (std::size_t received = 0; whole && received < kFileBytes;) {
      int want = static_cast<int>(std::min<std::size_t>(kChunk, kFileBytes - received));
      int got = socket.Read(block.data(), want, -1, 0);
      whole = got > 0 && (fd < 0 || write(fd, block.data(), static_cast<std::size_t>(got)) == got);
      received += static_cast<std::size_t>(std::max(got, 0));
    }
    if (fd >= 0) close(fd);
    if (!whole) {
      state.SkipWithError("download failed");
      return;
    }
    socket.ReadToNul(block.data(), kChunk, -1, 0);
    benchmark::DoNotOptimize(block.data());
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

void RawDownloadDiscarded(benchmark::State& state) { RawDownload(state, false); }
void RawDownloadToFile(benchmark::State& state) { RawDownload(state, true); }

void ConnectionDownload(benchmark::State& state) {
  BenchServer server(true);
  dbServerConnection connection("127.0.0.1", std::to_string(server.Port()), "Pellomarquin", "",
                                true, -1);
  const std::string path = DownloadPath();
  for (auto _ : state) {
    if (!connection.GetFile("Clients\\Pellomarquin.exe", path, nullptr)) {
      state.SkipWithError("GetFile failed");
      break;
    }
  }
  std::filesystem::remove(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
}

BENCHMARK(RawJsonAnswer)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(RawJsonAnswerKept)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ConnectionJsonAnswer)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(RawCommaAnswerKept)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ConnectionCommaAnswer)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(RawDownloadDiscarded)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(RawDownloadToFile)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ConnectionDownload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Prints the usual table and keeps each benchmark's throughput for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end() && !run.error_occurred) {
        rates_[run.run_name.function_name] = rate->second.value;
      }
    }
  }

  void PrintRatio(const char* name, const char* reference, const char* note) const {
    auto measured = rates_.find(name);
    auto base = rates_.find(reference);
    if (measured != rates_.end() && base != rates_.end() && base->second > 0) {
      std::printf("%s / %s throughput ratio: %.3f (%s)\n", name, reference,
                  measured->second / base->second, note);
    } else {
      std::printf("%s / %s throughput ratio: not measured\n", name, reference);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // The ratios against references that keep the bytes measure what the connection adds;
  // those against the bare transport also count the copy into the answer or the file.
  reporter.PrintRatio("ConnectionJsonAnswer", "RawJsonAnswerKept", "expected >= 0.8");
  reporter.PrintRatio("ConnectionDownload", "RawDownloadToFile", "expected >= 0.8");
  reporter.PrintRatio("ConnectionCommaAnswer", "RawCommaAnswerKept", "comma text, for information");
  reporter.PrintRatio("ConnectionJsonAnswer", "RawJsonAnswer", "bare transport, for information");
  reporter.PrintRatio("ConnectionDownload", "RawDownloadDiscarded",
                      "bare transport, for information");
  benchmark::Shutdown();
  return 0;
}
