// Runs a system call again for as long as a signal interrupts it.
#pragma once

#include <cerrno>

// Calls `call` until it no longer fails with EINTR and returns its last result. For reads,
// writes and waits; never for close(), whose descriptor is gone on Linux even when it reports
// EINTR, so a second close could hit a descriptor another thread has just opened.
template <typename Call>
auto RetryOnEintr(Call call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) {
      return result;
    }
  }
}
