// Waiting for one descriptor until a deadline: the timed waits of the socket layer.
#include "DeadlinePoll.h"

#include <algorithm>
#include <ctime>

#include <poll.h>

#include "RetryOnEintr.h"

Deadline DeadlineAfter(int seconds, int microseconds) {
  if (seconds == -1) {
    return std::nullopt;
  }
  return std::chrono::steady_clock::now() + std::chrono::seconds(std::max(seconds, 0)) +
         std::chrono::microseconds(std::max(microseconds, 0));
}

int PollUntil(int fd, short events, const Deadline& deadline, short& revents) {
  pollfd entry{fd, events, 0};
  const int ready = RetryOnEintr([&] {
    entry.revents = 0;
    timespec remaining{};
    if (deadline) {
      auto left = std::max(*deadline - std::chrono::steady_clock::now(),
                           std::chrono::steady_clock::duration::zero());
      auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      remaining.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
      remaining.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    }
    return ppoll(&entry, 1, deadline ? &remaining : nullptr, nullptr);
  });
  revents = entry.revents;
  return ready;
}
