// The log lines of refused connections: at most one per client address and minute, however
// many connections that address keeps opening.
#pragma once

#include <chrono>
#include <map>
#include <string>

// Used by the accept loop alone, so it takes no lock.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;

  // Logs `line` unless `address` had a line within the last minute, and then only counts the
  // refusal; the address's next line says how many went unlogged.
  void Refused(const std::string& address, const std::string& line);

 private:
  struct Quiet {
    Clock::time_point logged;
    int unlogged = 0;
  };

  void ForgetOld(Clock::time_point now);

  std::map<std::string, Quiet> addresses_;
};
