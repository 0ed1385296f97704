// The sessions of hospd --require-login: opened by a right login, named by a random token,
// ended by disuse.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "login/SessionTable.h"

// Safe from every connection thread. A session this server has found in its table recently
// (within the time its last use may go unwritten) is taken from memory, so that a busy
// session costs its table one look a minute instead of one at every request; a session ends
// only by disuse, so nothing can have ended it meanwhile.
class Sessions {
 public:
  // Sessions kept in `table`, over after `idle` without a request.
  Sessions(std::unique_ptr<SessionTable> table, std::chrono::seconds idle);

  // A new session of `owner`; returns its token (64 hex digits from the system's random
  // source). Throws std::runtime_error when no random bytes can be had, and what the table
  // throws.
  std::string Open(const SessionOwner& owner);
  // The owner of the session `token` when it is not over; the request counts as its use.
  std::optional<SessionOwner> Find(std::string_view token);

  std::chrono::seconds Idle() const { return idle_; }

  // The key a token is kept under: its SHA-256 digest in hex.
  static std::string Digest(std::string_view token);

 private:
  struct Recent {
    SessionOwner owner;
    SessionTable::Clock::time_point found;
  };

  std::chrono::seconds TouchEvery() const;
  std::optional<SessionOwner> Remembered(const std::string& digest,
                                         SessionTable::Clock::time_point now);
  void Remember(const std::string& digest, const SessionOwner& owner,
                SessionTable::Clock::time_point now);

  std::unique_ptr<SessionTable> table_;
  std::chrono::seconds idle_;
  std::mutex mutex_;
  std::unordered_map<std::string, Recent> recent_;
};
