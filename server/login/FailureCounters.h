// Where failed logins are counted: in this server's memory, or in a database servers share.
#pragma once

#include <chrono>
#include <string>

// Keys name what is counted ("email:...", "address:..."); times are wall-clock times, so
// that servers on several machines count together.
class FailureCounters {
 public:
  using Clock = std::chrono::system_clock;

  virtual ~FailureCounters() = default;

  // Notes one failure of `key` at `at` and returns the failures of `key` since `since`, this
  // one included. Failures older than `since` may be forgotten.
  virtual int AddFailure(const std::string& key, Clock::time_point at,
                         Clock::time_point since) = 0;
  // The failures of `key` since `since`.
  virtual int Failures(const std::string& key, Clock::time_point since) = 0;
  // Forgets every failure of `key` (a login that succeeded).
  virtual void Clear(const std::string& key) = 0;
};
