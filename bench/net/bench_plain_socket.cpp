// PlainSocket's ReadToNul and Read in 50,000-byte chunks against a plain recv() loop, over
// loopback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

#include "LoopbackPair.h"
#include "PlainSocket.h"

namespace {

constexpr int kChunk = 50000;
// One answer: a megabyte of text and its terminating 0, as the function server sends it.
constexpr std::size_t kAnswerBytes = 1000000;

const std::string& Answer() {
  static const std::string answer = [] {
    std::string text(kAnswerBytes, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char>('a' + i % 26);
    }
    text += '\0';
    return text;
  }();
  return answer;
}

// The peer: sends the answer over and over until it is stopped.
class Streamer {
 public:
  explicit Streamer(UniqueFd fd)
      : fd_(std::move(fd)), thread_([this] {
          while (loopback::WriteAll(fd_.Get(), Answer())) {
          }
        }) {}
  Streamer(const Streamer&) = delete;
  Streamer& operator=(const Streamer&) = delete;
  ~Streamer() {
    shutdown(fd_.Get(), SHUT_RDWR);  // wakes the blocked send, which then fails
    thread_.join();
  }

 private:
  UniqueFd fd_;
  std::thread thread_;
};

// Reference: the bare transport, recv() of at most one chunk at a time until an answer is in.
void BM_RecvLoop(benchmark::State& state) {
  loopback::TcpPair pair = loopback::MakeTcpPair();
  int fd = pair.client.Get();
  // A borrowing socket gives the descriptor the same options as the measured readers get.
  PlainSocket same_options;
  same_options.Attach(fd, true);
  Streamer streamer(std::move(pair.server));
  std::vector<char> chunk(kChunk);
  for (auto _ : state) {
    std::size_t total = 0;
    while (total < Answer().size()) {
      std::size_t want = std::min<std::size_t>(kChunk, Answer().size() - total);
      ssize_t n = recv(fd, chunk.data(), want, 0);
      if (n <= 0) {
        state.SkipWithError("recv failed");
        return;
      }
      total += static_cast<std::size_t>(n);
    }
    benchmark::DoNotOptimize(chunk.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Answer().size()));
}

// The server connection's way: ReadToNul in chunks until the one ending in the 0 byte.
void BM_ReadToNul(benchmark::State& state) {
  loopback::TcpPair pair = loopback::MakeTcpPair();
  PlainSocket socket;
  socket.Attach(pair.client.Release(), false);
  Streamer streamer(std::move(pair.server));
  std::vector<char> chunk(kChunk + 1);
  for (auto _ : state) {
    int result = 0;
    while (result == 0) {
      result = socket.ReadToNul(chunk.data(), kChunk, -1, 0);
    }
    if (result < 0) {
      state.SkipWithError("ReadToNul failed");
      return;
    }
    benchmark::DoNotOptimize(chunk.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Answer().size()));
}

// Read of exactly one answer's bytes, a chunk at a time.
void BM_Read(benchmark::State& state) {
  loopback::TcpPair pair = loopback::MakeTcpPair();
  PlainSocket socket;
  socket.Attach(pair.client.Release(), false);
  Streamer streamer(std::move(pair.server));
  std::vector<char> chunk(kChunk + 1);
  for (auto _ : state) {
    std::size_t total = 0;
    while (total < Answer().size()) {
      int want = static_cast<int>(std::min<std::size_t>(kChunk, Answer().size() - total));
      int n = socket.Read(chunk.data(), want, -1, 0);
      if (n <= 0) {
        state.SkipWithError("Read failed");
        return;
      }
      total += static_cast<std::size_t>(n);
    }
    benchmark::DoNotOptimize(chunk.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Answer().size()));
}

// The machine is shared: medians of a few repetitions keep one disturbed run from deciding.
BENCHMARK(BM_RecvLoop)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK(BM_ReadToNul)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly();
BENCHMARK(BM_Read)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly();

// Prints the usual table and keeps each benchmark's median throughput and reader
// CPU time per answer for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (run.aggregate_name == "median" && rate != run.counters.end() && !run.error_occurred) {
        medians_[run.run_name.function_name] = {rate->second.value, run.GetAdjustedCPUTime()};
      }
    }
  }

  void PrintRatios(const char* name, const char* reference) const {
    auto measured = medians_.find(name);
    auto base = medians_.find(reference);
    if (measured == medians_.end() || base == medians_.end() || base->second.rate <= 0 ||
        measured->second.cpu_time <= 0) {
      return;
    }
    std::printf("%s / %s throughput ratio: %.3f (expected >= 0.9)\n", name, reference,
                measured->second.rate / base->second.rate);
    std::printf("%s / %s reader CPU ratio:  %.3f (reference CPU time / measured CPU time)\n", name,
                reference, base->second.cpu_time / measured->second.cpu_time);
  }

 private:
  struct Median {
    double rate;
    double cpu_time;
  };
  std::map<std::string, Median> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios("BM_ReadToNul", "BM_RecvLoop");
  reporter.PrintRatios("BM_Read", "BM_RecvLoop");
  benchmark::Shutdown();
  return 0;
}
