// Sessions kept in this server's memory only (a server on SQLite).
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "login/SessionTable.h"

// Safe from every connection thread. Sessions that are over are dropped now and then, so that
// the logins of a long-running server do not fill the memory.
class MemorySessionTable final : public SessionTable {
 public:
  void Add(const std::string& digest, const SessionOwner& owner, Clock::time_point now) override;
  std::optional<SessionOwner> Use(const std::string& digest, Clock::time_point now,
                                  Clock::time_point since, Clock::time_point stale) override;

 private:
  struct Entry {
    SessionOwner owner;
    Clock::time_point last_used;
  };

  std::mutex mutex_;
  std::unordered_map<std::string, Entry> sessions_;
  Clock::time_point oldest_kept_ = Clock::time_point::min();
  std::uint64_t additions_ = 0;
};
