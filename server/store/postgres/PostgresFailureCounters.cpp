// Failed logins counted in a PostgreSQL table, so that every server on the database sees
// the failures of all of them.
#include "store/postgres/PostgresFailureCounters.h"

#include <chrono>

#include "store/DatabaseError.h"
#include "store/postgres/PgConnection.h"

namespace {

// Made by the first server that checks logins itself, not by the schema's versions: servers
// without --server-login never need it. Times are microseconds since 1970 (UTC).
constexpr const char* kCreateTable = R"sql(
SELECT pg_advisory_xact_lock(4732092);
CREATE TABLE IF NOT EXISTS LoginFailures (
  Key      TEXT COLLATE "C" NOT NULL,
  FailedAt BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS LoginFailuresByKey ON LoginFailures (Key, FailedAt);
)sql";

constexpr std::uint64_t kSweepEvery = 1024;

std::string Micros(FailureCounters::Clock::time_point time) {
  return std::to_string(
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

}  // namespace

PostgresFailureCounters::PostgresFailureCounters(std::string conninfo)
    : conninfo_(std::move(conninfo)) {
  PgConnection& db = Connection();
  PgTransaction transaction(db);
  db.Execute(kCreateTable);
  transaction.Commit();
}

PostgresFailureCounters::~PostgresFailureCounters() = default;

PgConnection& PostgresFailureCounters::Connection() {
  if (db_ && (db_->Broken() || !db_->LooksAlive())) db_.reset();
  if (!db_) db_ = PgConnection::Open(conninfo_);
  return *db_;
}

// Old failures of the key go with each new one, so that the table holds only what counts.
int PostgresFailureCounters::AddFailure(const std::string& key, Clock::time_point at,
                                        Clock::time_point since) {
  const std::lock_guard lock(mutex_);
  PgConnection& db = Connection();
  PgTransaction transaction(db);
  db.Query("DELETE FROM LoginFailures WHERE Key = $1 AND FailedAt < $2", {key, Micros(since)});
  // Now and then the expired failures of every key, which guesses at many addresses leave.
  if (++additions_ % kSweepEvery == 0) {
    db.Query("DELETE FROM LoginFailures WHERE FailedAt < $1", {Micros(since)});
  }
  db.Query("INSERT INTO LoginFailures (Key, FailedAt) VALUES ($1, $2)", {key, Micros(at)});
  const PgResult count = db.Query("SELECT count(*) FROM LoginFailures WHERE Key = $1", {key});
  transaction.Commit();
  return std::stoi(count.Text(0, 0));
}

int PostgresFailureCounters::Failures(const std::string& key, Clock::time_point since) {
  const std::lock_guard lock(mutex_);
  const PgResult count =
      Connection().Query("SELECT count(*) FROM LoginFailures WHERE Key = $1 AND FailedAt >= $2",
                         {key, Micros(since)});
  return std::stoi(count.Text(0, 0));
}

void PostgresFailureCounters::Clear(const std::string& key) {
  const std::lock_guard lock(mutex_);
  Connection().Query("DELETE FROM LoginFailures WHERE Key = $1", {key});
}
