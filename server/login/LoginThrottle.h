// Slows down the guessing of passwords: answers to logins that keep failing, for one e-mail
// address or from one client address, come later and later.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "login/FailureCounters.h"

struct ThrottleSettings {
  int email_limit = 5;      // failures of one e-mail address within the window ...
  int address_limit = 50;   // ... or from one client address, before attempts wait
  std::chrono::milliseconds window = std::chrono::minutes(15);
  std::chrono::milliseconds first_delay = std::chrono::seconds(1);  // doubles per failure
  std::chrono::milliseconds max_delay = std::chrono::seconds(30);
};

// Safe from every connection thread. A waiting attempt waits on its own connection's thread
// and holds no lock, so that it never holds up another connection.
class LoginThrottle {
 public:
  LoginThrottle(ThrottleSettings settings, std::unique_ptr<FailureCounters> counters);

  struct Verdict {
    std::chrono::milliseconds delay{0};
    int email_failures = 0;
    int address_failures = 0;
  };

  // How long the answer to a login for `email` from `address` waits: nothing below the
  // limits, else the first delay doubled for each failure beyond a limit, up to the cap.
  Verdict Judge(std::string_view email, std::string_view address);
  void Failed(std::string_view email, std::string_view address);
  // The e-mail address's failures are forgotten; the client address's stay.
  void Succeeded(std::string_view email);

  // Waits `delay`, or less when Stop is called; false when stopped.
  bool Wait(std::chrono::milliseconds delay);
  // Ends every wait at once (the server is stopping).
  void Stop();

 private:
  std::chrono::milliseconds DelayAfter(int failures, int limit) const;

  ThrottleSettings settings_;
  std::unique_ptr<FailureCounters> counters_;
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
  bool stopping_ = false;
};
