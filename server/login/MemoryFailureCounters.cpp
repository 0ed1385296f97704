// Login attempts counted in this server's memory only.
#include "login/MemoryFailureCounters.h"

#include <algorithm>
#include <iterator>

namespace {

// Every this many attempts, keys with nothing left in their window are dropped.
constexpr std::uint64_t kSweepEvery = 1024;

}  // namespace

void MemoryFailureCounters::Expire(Times& times, Clock::time_point since) {
  while (!times.empty() && times.front() < since) times.pop_front();
}

FailureCounters::KeyCount MemoryFailureCounters::Count(const Times& times, Clock::time_point now) {
  KeyCount count;
  count.attempts = static_cast<int>(times.size());
  count.answered =
      static_cast<int>(std::upper_bound(times.begin(), times.end(), now) - times.begin());
  if (!times.empty()) count.latest = times.back();
  return count;
}

// A later admission may be answered earlier (its keys wait less), so times are inserted in
// order; the earliest go first when a key is full.
void MemoryFailureCounters::Note(Times& times, Clock::time_point at) {
  times.insert(std::upper_bound(times.begin(), times.end(), at), at);
  if (times.size() > kKeptPerKey) times.pop_front();
}

void MemoryFailureCounters::SweepNowAndThen(Clock::time_point since) {
  if (++admissions_ % kSweepEvery != 0) return;
  for (auto entry = attempts_.begin(); entry != attempts_.end();) {
    Expire(entry->second, since);
    entry = entry->second.empty() ? attempts_.erase(entry) : std::next(entry);
  }
}

FailureCounters::Clock::time_point MemoryFailureCounters::Admit(
    const std::vector<std::string>& keys, Clock::time_point now, Clock::time_point since,
    const Schedule& schedule) {
  const std::lock_guard lock(mutex_);
  SweepNowAndThen(since);
  std::vector<KeyCount> counts;
  for (const std::string& key : keys) {
    Times& times = attempts_[key];
    Expire(times, since);
    counts.push_back(Count(times, now));
  }
  const Clock::time_point at = schedule(counts);
  for (const std::string& key : keys) Note(attempts_[key], at);
  return at;
}

void MemoryFailureCounters::Withdraw(const std::vector<std::string>& keys, Clock::time_point at,
                                     const std::string& cleared) {
  const std::lock_guard lock(mutex_);
  for (const std::string& key : keys) {
    const auto found = attempts_.find(key);
    if (found == attempts_.end()) continue;
    Times& times = found->second;
    const auto noted = std::lower_bound(times.begin(), times.end(), at);
    if (noted != times.end() && *noted == at) times.erase(noted);
  }
  const auto found = attempts_.find(cleared);
  if (found != attempts_.end()) {
    Times& times = found->second;
    times.erase(times.begin(), std::upper_bound(times.begin(), times.end(), at));
  }
}
