// Slows down the guessing of passwords: answers to logins that keep failing, for one e-mail
// address from one client address, from one client address, or for one e-mail address from
// everywhere, come later and later, however many connections send them at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "login/FailureCounters.h"

struct ThrottleSettings {
  int pair_limit = 5;      // failures of one e-mail address from one client address ...
  int address_limit = 50;  // ... or from one client address for any, before attempts wait
  std::chrono::milliseconds first_delay = std::chrono::seconds(1);  // doubles per failure
  std::chrono::milliseconds max_delay = std::chrono::seconds(30);
  // Past this many answered failures of one e-mail address from all client addresses
  // together, every attempt for it waits `account_delay`, its owner's too. Kept below the
  // usual client timeout (20 s), so that the owner can still log in.
  int account_limit = 100;
  std::chrono::milliseconds account_delay = std::chrono::seconds(10);
  std::chrono::milliseconds window = std::chrono::minutes(15);
};

// Safe from every connection thread. An attempt is counted as a failure when it is admitted,
// before its password is checked, and its answer time follows the one of the attempt before
// it on the same key, as if they had come one after the other; so N guesses sent at once on
// N connections wait as long as N sent in turn. A waiting attempt waits on its own
// connection's thread and holds no lock, so that it never holds up another connection.
class LoginThrottle {
 public:
  LoginThrottle(ThrottleSettings settings, std::unique_ptr<FailureCounters> counters);

  // One admitted login attempt: a failure until Succeeded says otherwise.
  struct Attempt {
    std::vector<std::string> keys;  // pair, client address, e-mail address
    FailureCounters::Clock::time_point answer_at;
    std::chrono::milliseconds delay{0};  // from admission to answer_at
    // Attempts before this one within the window.
    int pair_failures = 0;
    int address_failures = 0;
    int account_failures = 0;  // answered ones only
  };

  // Admits an attempt for `email` from `address` and says when it may be answered: at once
  // below the limits, else first_delay doubled for each failure beyond a limit (up to
  // max_delay) after the answer of the key's previous attempt, and past the account limit
  // no sooner than account_delay from now.
  Attempt Admit(std::string_view email, std::string_view address);
  // The attempt's password was right: it is no failure, and the failures of its e-mail
  // address from its client address are forgotten (the client address's and the e-mail
  // address's counts from everywhere stay).
  void Succeeded(const Attempt& attempt);

  // Waits `delay`, or less when Stop is called; false when stopped.
  bool Wait(std::chrono::milliseconds delay);
  // Ends every wait at once (the server is stopping).
  void Stop();

  // Since the start, for monitoring: attempts that did not succeed (those still being
  // answered included) and attempts answered only after a delay.
  std::uint64_t Failed() const { return admitted_ - succeeded_; }
  std::uint64_t Throttled() const { return throttled_; }

 private:
  std::chrono::milliseconds DelayAfter(int failures, int limit) const;
  FailureCounters::Clock::time_point AnswerTime(
      const std::vector<FailureCounters::KeyCount>& counts,
      FailureCounters::Clock::time_point now) const;

  ThrottleSettings settings_;
  std::unique_ptr<FailureCounters> counters_;
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
  std::atomic<std::uint64_t> admitted_{0};
  std::atomic<std::uint64_t> succeeded_{0};
  std::atomic<std::uint64_t> throttled_{0};
};
