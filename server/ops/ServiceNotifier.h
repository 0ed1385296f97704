// What systemd learns of the serving process: readiness, status lines and watchdog keep-alives.
#pragma once

#include <chrono>
#include <string_view>

// Speaks to the service manager through $NOTIFY_SOCKET (sd_notify); without it every call does
// nothing. The keep-alives come from the serving loop itself, so that a loop that hangs stops
// them and the manager restarts the service.
class ServiceNotifier {
 public:
  // Reads the watchdog interval ($WATCHDOG_USEC) once.
  ServiceNotifier();

  // Both ports listen and the certificate is loaded.
  void Ready(std::string_view status) const;
  void Status(std::string_view status) const;
  void Stopping(std::string_view status) const;
  // Sends a keep-alive when half the watchdog interval has passed since the last one; cheap
  // enough to call on every turn of the serving loop.
  void KeepAlive();
  // The longest the serving loop may wait before its next KeepAlive: a quarter of the
  // interval, at most `limit`.
  std::chrono::milliseconds Wait(std::chrono::milliseconds limit) const;

 private:
  using Clock = std::chrono::steady_clock;

  std::chrono::microseconds watchdog_{0};  // zero: no watchdog
  Clock::time_point last_keep_alive_{};
};
