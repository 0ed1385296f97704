// The sessions of hospd --require-login: opened by a right login, named by a random token,
// ended by disuse.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "login/SessionTable.h"

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
  std::unique_ptr<SessionTable> table_;
  std::chrono::seconds idle_;
};
