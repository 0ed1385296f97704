// Latencies of the load run's requests by kind, with their counts, rates and percentiles.
#include "LatencyTable.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

namespace {

// The sample at or above `fraction` of the sorted samples (nearest rank).
double PercentileMs(const std::vector<std::int64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto rank =
      static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
  const std::size_t index = std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1);
  return static_cast<double>(sorted[index]) / 1000.0;
}

}  // namespace

std::string_view KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Handshake:
      return "data connect+handshake";
    case RequestKind::FunctionConnect:
      return "function connect";
    case RequestKind::PersonnelQuery:
      return "Personnel query";
    case RequestKind::DoctorCases:
      return "getdoctorcases";
    case RequestKind::Approval:
      return "approval";
    case RequestKind::RepeatApproval:
      return "repeated approval";
  }
  return "?";
}

void LatencyTable::Add(RequestKind kind, std::chrono::steady_clock::duration latency, bool ok) {
  Samples& samples = kinds_[static_cast<std::size_t>(kind)];
  samples.micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(latency).count());
  if (!ok) ++samples.failed;
}

void LatencyTable::Merge(const LatencyTable& other) {
  for (std::size_t i = 0; i < kRequestKinds; ++i) {
    kinds_[i].micros.insert(kinds_[i].micros.end(), other.kinds_[i].micros.begin(),
                            other.kinds_[i].micros.end());
    kinds_[i].failed += other.kinds_[i].failed;
  }
}

std::size_t LatencyTable::Count() const {
  std::size_t count = 0;
  for (const Samples& samples : kinds_) count += samples.micros.size();
  return count;
}

std::size_t LatencyTable::Failures() const {
  std::size_t failed = 0;
  for (const Samples& samples : kinds_) failed += samples.failed;
  return failed;
}

void LatencyTable::PrintRow(std::ostream& out, std::string_view name,
                            std::vector<std::int64_t> micros, std::size_t failed, double seconds) {
  std::sort(micros.begin(), micros.end());
  char line[160];
  std::snprintf(line, sizeof line, "%-24s %9zu %10.1f %8.2f %8.2f %8.2f %9.2f %7zu\n",
                std::string(name).c_str(), micros.size(),
                seconds > 0 ? static_cast<double>(micros.size()) / seconds : 0.0,
                PercentileMs(micros, 0.50), PercentileMs(micros, 0.90), PercentileMs(micros, 0.99),
                micros.empty() ? 0.0 : static_cast<double>(micros.back()) / 1000.0, failed);
  out << line;
}

void LatencyTable::Print(std::ostream& out, double seconds) const {
  char header[160];
  std::snprintf(header, sizeof header, "%-24s %9s %10s %8s %8s %8s %9s %7s\n", "request", "count",
                "req/s", "p50 ms", "p90 ms", "p99 ms", "max ms", "failed");
  out << header;
  std::vector<std::int64_t> all;
  for (std::size_t i = 0; i < kRequestKinds; ++i) {
    const Samples& samples = kinds_[i];
    if (samples.micros.empty()) continue;
    PrintRow(out, KindName(static_cast<RequestKind>(i)), samples.micros, samples.failed, seconds);
    all.insert(all.end(), samples.micros.begin(), samples.micros.end());
  }
  PrintRow(out, "all requests", std::move(all), Failures(), seconds);
}
