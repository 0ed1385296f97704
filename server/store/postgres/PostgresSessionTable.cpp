// Sessions kept in the PostgreSQL database, so that every server on it knows them: a client
// may reach one server for its data connection and another for its function connection.
#include "store/postgres/PostgresSessionTable.h"

#include "store/postgres/PgConnection.h"
#include "store/postgres/PostgresStore.h"

namespace {

// Every this many logins on this server, the sessions that are over go from the table.
constexpr std::uint64_t kSweepEvery = 256;

// Times are microseconds since 1970 (UTC), as in LoginFailures.
std::string Micros(SessionTable::Clock::time_point time) {
  return std::to_string(
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

}  // namespace

void PostgresSessionTable::Add(const std::string& digest, const SessionOwner& owner,
                               Clock::time_point now) {
  const bool sweep = ++additions_ % kSweepEvery == 0;
  store_.Run([&](PgConnection& db) {
    // Run once more on a new connection when one was lost: the digest makes that harmless.
    db.Query(
        "INSERT INTO Sessions (Digest, StaffSeq, Email, LastUsed) VALUES ($1, $2, $3, $4) "
        "ON CONFLICT (Digest) DO NOTHING",
        {digest, std::to_string(owner.staff_seq), owner.email, Micros(now)});
    if (sweep) {
      db.Query("DELETE FROM Sessions WHERE LastUsed < $1",
               {Micros(now - std::chrono::hours(24 * 30))});
    }
  });
}

std::optional<SessionOwner> PostgresSessionTable::Use(const std::string& digest,
                                                      Clock::time_point now,
                                                      Clock::time_point since,
                                                      Clock::time_point stale) {
  std::optional<SessionOwner> owner;
  store_.Run([&](PgConnection& db) {
    owner.reset();
    // One statement: the last use moves on only where it is stale, so most requests read.
    const PgResult rows = db.Query(
        "WITH found AS (SELECT Digest, StaffSeq, Email, LastUsed FROM Sessions "
        "WHERE Digest = $1 AND LastUsed >= $2), "
        "touched AS (UPDATE Sessions s SET LastUsed = $4 FROM found "
        "WHERE s.Digest = found.Digest AND found.LastUsed < $3 AND s.LastUsed < $4) "
        "SELECT StaffSeq, Email FROM found",
        {digest, Micros(since), Micros(stale), Micros(now)});
    if (rows.Rows() == 0) return;
    owner = SessionOwner{std::stoll(rows.Text(0, 0)), rows.Text(0, 1)};
  });
  return owner;
}
