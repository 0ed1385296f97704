// Where login attempts are counted: in this server's memory, or in a database servers share.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Keys name what is counted ("pair:...", "address:...", "email:..."). Each attempt is noted
// under its keys at the time it is answered, as a failure from the moment it is admitted
// (before its password is checked) until it is withdrawn; so attempts still waiting or being
// checked count as well, on every server that shares the counters. Times are wall-clock
// times, so that servers on several machines count together.
class FailureCounters {
 public:
  using Clock = std::chrono::system_clock;

  // What one key holds since the start of the window.
  struct KeyCount {
    int attempts = 0;  // failures and attempts not yet answered
    int answered = 0;  // of those, the ones noted at a time not after `now`
    Clock::time_point latest = Clock::time_point::min();  // the latest time noted
  };
  // Given the counts of the keys (in their order), when the attempt is answered.
  using Schedule = std::function<Clock::time_point(const std::vector<KeyCount>&)>;

  virtual ~FailureCounters() = default;

  // Counts `keys` since `since` (forgetting what is older), asks `schedule` when the attempt
  // is answered and notes it at that time under every key; returns the time. Atomic with
  // respect to every other Admit on the same counters, on this server and on others.
  virtual Clock::time_point Admit(const std::vector<std::string>& keys, Clock::time_point now,
                                  Clock::time_point since, const Schedule& schedule) = 0;
  // The attempt that Admit noted at `at` succeeded: its notes under `keys` go, and so do the
  // notes of `cleared` up to `at` (the failures before a right password).
  virtual void Withdraw(const std::vector<std::string>& keys, Clock::time_point at,
                        const std::string& cleared) = 0;
};
