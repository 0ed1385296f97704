// Waiting for one descriptor until a deadline: the timed waits of the socket layer.
#pragma once

#include <chrono>
#include <optional>

// The end of a wait, or none for a wait without limit.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// `seconds` and `microseconds` from now, or none when `seconds` is -1. Negative parts count
// as 0, so a wrong limit tests without waiting instead of failing.
Deadline DeadlineAfter(int seconds, int microseconds);

// Waits until `fd` reports one of `events` or `deadline` passes, resuming after signals with
// the time that remains. ppoll() keeps the microsecond resolution of the limits and, unlike
// select(), works for any descriptor number. Returns ppoll's result; `revents` receives what
// the descriptor reported.
int PollUntil(int fd, short events, const Deadline& deadline, short& revents);
