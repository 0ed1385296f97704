// Failed logins counted in this server's memory only.
#include "login/MemoryFailureCounters.h"

#include <iterator>

namespace {

// Every this many failures, keys with nothing left in their window are dropped.
constexpr std::uint64_t kSweepEvery = 1024;

}  // namespace

void MemoryFailureCounters::Expire(Times& times, Clock::time_point since) {
  while (!times.empty() && times.front() < since) times.pop_front();
}

void MemoryFailureCounters::SweepNowAndThen(Clock::time_point since) {
  if (++additions_ % kSweepEvery != 0) return;
  for (auto entry = failures_.begin(); entry != failures_.end();) {
    Expire(entry->second, since);
    entry = entry->second.empty() ? failures_.erase(entry) : std::next(entry);
  }
}

int MemoryFailureCounters::AddFailure(const std::string& key, Clock::time_point at,
                                      Clock::time_point since) {
  const std::lock_guard lock(mutex_);
  SweepNowAndThen(since);
  Times& times = failures_[key];
  Expire(times, since);
  times.push_back(at);
  if (times.size() > kKeptPerKey) times.pop_front();
  return static_cast<int>(times.size());
}

int MemoryFailureCounters::Failures(const std::string& key, Clock::time_point since) {
  const std::lock_guard lock(mutex_);
  const auto found = failures_.find(key);
  if (found == failures_.end()) return 0;
  Expire(found->second, since);
  return static_cast<int>(found->second.size());
}

void MemoryFailureCounters::Clear(const std::string& key) {
  const std::lock_guard lock(mutex_);
  failures_.erase(key);
}
