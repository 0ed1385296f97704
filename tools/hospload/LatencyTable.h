// Latencies of the load run's requests by kind, with their counts, rates and percentiles.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string_view>
#include <vector>

enum class RequestKind {
  Handshake,
  FunctionConnect,
  PersonnelQuery,
  DoctorCases,
  Approval,
  RepeatApproval
};
constexpr std::size_t kRequestKinds = 6;

std::string_view KindName(RequestKind kind);

// One client fills its own table; the run merges them when the clients have ended.
class LatencyTable {
 public:
  void Add(RequestKind kind, std::chrono::steady_clock::duration latency, bool ok);
  void Merge(const LatencyTable& other);

  std::size_t Count() const;
  std::size_t Failures() const;
  // One line per kind and one for all, over a run of `seconds`.
  void Print(std::ostream& out, double seconds) const;

 private:
  struct Samples {
    std::vector<std::int64_t> micros;
    std::size_t failed = 0;
  };
  static void PrintRow(std::ostream& out, std::string_view name, std::vector<std::int64_t> micros,
                       std::size_t failed, double seconds);

  std::array<Samples, kRequestKinds> kinds_;
};
