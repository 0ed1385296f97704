// The server's counters for monitoring, kept in atomics so that every connection thread counts
// without a lock, and their Prometheus text.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

enum class RequestKind {
  Handshake,
  Date,
  TableQuery,
  RecordUpdate,
  FileInfo,
  FileDownload,
  Unknown,
  Function,  // a JSON request to the function server
  Count
};
enum class MetricsPort { Data, Function };

// What other parts know and the registry reads when it renders.
struct MetricsSnapshot {
  std::uint64_t logins_failed = 0;
  std::uint64_t logins_throttled = 0;
  int pool_in_use = 0;
  int pool_capacity = 0;
  std::uint64_t pool_waits = 0;
  std::uint64_t pool_wait_timeouts = 0;
};

class Metrics {
 public:
  // Upper bounds of the latency buckets, in seconds; the last bucket is +Inf.
  static constexpr std::array<double, 12> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   0.5,   1.0,  2.5};

  // One request answered (`served`) or refused, failed or unsent, and how long it took from
  // its last byte in to its answer's last byte out.
  void Request(RequestKind kind, bool served, std::chrono::steady_clock::duration latency);
  void Opened(MetricsPort port);
  void Closed(MetricsPort port);
  void Refused(MetricsPort port);

  // The whole exposition text, with `version` in hospd_build_info.
  std::string Render(const std::string& version, const MetricsSnapshot& others) const;

 private:
  static constexpr int kKinds = static_cast<int>(RequestKind::Count);

  struct Latency {
    std::array<std::atomic<std::uint64_t>, kBuckets.size() + 1> buckets{};
    std::atomic<std::uint64_t> count{0};
    std::atomic<std::uint64_t> sum_ns{0};
  };
  struct PortCounts {
    std::atomic<std::int64_t> open{0};
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> refused{0};
  };

  std::array<std::array<std::atomic<std::uint64_t>, 2>, kKinds> requests_{};  // [kind][served]
  std::array<Latency, kKinds> latency_{};
  std::array<PortCounts, 2> ports_{};
  const std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
};
