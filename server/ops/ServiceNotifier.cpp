// What systemd learns of the serving process: readiness, status lines and watchdog keep-alives.
#include "ops/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <string>

namespace {

void Notify(std::string_view fields) {
  // The manager may be gone (or never there): nothing to do about a failed notification.
  [[maybe_unused]] const int sent = sd_notify(0, std::string(fields).c_str());
}

// A status is one line: no newline may cut it into a field of its own.
std::string StatusField(std::string_view status) {
  std::string field = "STATUS=";
  for (const char c : status) field += c == '\n' ? ' ' : c;
  return field;
}

}  // namespace

ServiceNotifier::ServiceNotifier() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::Ready(std::string_view status) const {
  Notify("READY=1\n" + StatusField(status));
}

void ServiceNotifier::Status(std::string_view status) const { Notify(StatusField(status)); }

void ServiceNotifier::Stopping(std::string_view status) const {
  Notify("STOPPING=1\n" + StatusField(status));
}

void ServiceNotifier::KeepAlive() {
  if (watchdog_.count() == 0) return;
  const Clock::time_point now = Clock::now();
  if (now - last_keep_alive_ < watchdog_ / 2) return;
  last_keep_alive_ = now;
  Notify("WATCHDOG=1");
}

std::chrono::milliseconds ServiceNotifier::Wait(std::chrono::milliseconds limit) const {
  if (watchdog_.count() == 0) return limit;
  const auto quarter = std::chrono::duration_cast<std::chrono::milliseconds>(watchdog_ / 4);
  return std::clamp(quarter, std::chrono::milliseconds(1), limit);
}
