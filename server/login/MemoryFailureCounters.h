// Login attempts counted in this server's memory only.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "login/FailureCounters.h"

// Safe from every connection thread; one mutex covers each whole Admit, which takes
// microseconds (nobody waits under it). Keeps at most `kKeptPerKey` times per key (enough for
// any delay to reach its cap) and drops keys whose attempts have all expired now and then,
// so that guesses at many addresses cannot fill the memory.
class MemoryFailureCounters final : public FailureCounters {
 public:
  Clock::time_point Admit(const std::vector<std::string>& keys, Clock::time_point now,
                          Clock::time_point since, const Schedule& schedule) override;
  void Withdraw(const std::vector<std::string>& keys, Clock::time_point at,
                const std::string& cleared) override;

  static constexpr std::size_t kKeptPerKey = 256;

 private:
  using Times = std::deque<Clock::time_point>;  // in order of time, not of admission

  static void Expire(Times& times, Clock::time_point since);
  static KeyCount Count(const Times& times, Clock::time_point now);
  static void Note(Times& times, Clock::time_point at);
  void SweepNowAndThen(Clock::time_point since);

  std::mutex mutex_;
  std::unordered_map<std::string, Times> attempts_;
  std::uint64_t admissions_ = 0;
};
