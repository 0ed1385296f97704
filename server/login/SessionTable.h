// Where the sessions of logged-in staff are kept: in this server's memory, or in a database
// that several servers share, so that a client may reach a different one on each connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// Whom a session belongs to: the member of staff whose login opened it.
struct SessionOwner {
  std::int64_t staff_seq = 0;  // "Personnel" Seq; a physician's cases carry it as DoctorSeq
  std::string email;           // as stored in "Personnel"
};

// Sessions are kept under the digest of their token, never the token itself, so that whoever
// reads the table cannot take a session over. Times are wall-clock times, so that servers on
// several machines agree on them.
class SessionTable {
 public:
  using Clock = std::chrono::system_clock;

  virtual ~SessionTable() = default;

  // Keeps a new session, last used at `now`.
  virtual void Add(const std::string& digest, const SessionOwner& owner, Clock::time_point now) = 0;
  // The owner of the session when it was last used at or after `since` (older ones are
  // over); its last use becomes `now` when the one noted is before `stale`, so that a busy
  // session is not written at every request.
  virtual std::optional<SessionOwner> Use(const std::string& digest, Clock::time_point now,
                                          Clock::time_point since, Clock::time_point stale) = 0;
};
