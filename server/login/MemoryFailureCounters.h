// Failed logins counted in this server's memory only.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "login/FailureCounters.h"

// Safe from every connection thread. Keeps at most `kKeptPerKey` times per key (enough for
// any delay to reach its cap) and drops keys whose failures have all expired now and then,
// so that guesses at many addresses cannot fill the memory.
class MemoryFailureCounters final : public FailureCounters {
 public:
  int AddFailure(const std::string& key, Clock::time_point at, Clock::time_point since) override;
  int Failures(const std::string& key, Clock::time_point since) override;
  void Clear(const std::string& key) override;

  static constexpr std::size_t kKeptPerKey = 256;

 private:
  using Times = std::deque<Clock::time_point>;

  static void Expire(Times& times, Clock::time_point since);
  void SweepNowAndThen(Clock::time_point since);

  std::mutex mutex_;
  std::unordered_map<std::string, Times> failures_;
  std::uint64_t additions_ = 0;
};
