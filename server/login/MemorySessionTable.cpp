// Sessions kept in this server's memory only (a server on SQLite).
#include "login/MemorySessionTable.h"

#include <algorithm>

namespace {

// Every this many logins, the sessions that are over are dropped.
constexpr std::uint64_t kSweepEvery = 256;

}  // namespace

void MemorySessionTable::Add(const std::string& digest, const SessionOwner& owner,
                             Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  if (++additions_ % kSweepEvery == 0) {
    std::erase_if(sessions_,
                  [this](const auto& entry) { return entry.second.last_used < oldest_kept_; });
  }
  sessions_[digest] = Entry{owner, now};
}

std::optional<SessionOwner> MemorySessionTable::Use(const std::string& digest,
                                                    Clock::time_point now, Clock::time_point since,
                                                    Clock::time_point /*stale*/) {
  const std::lock_guard lock(mutex_);
  oldest_kept_ = since;
  const auto found = sessions_.find(digest);
  if (found == sessions_.end()) return std::nullopt;
  if (found->second.last_used < since) {
    sessions_.erase(found);
    return std::nullopt;
  }
  found->second.last_used = std::max(found->second.last_used, now);
  return found->second.owner;
}
