// Login attempts counted in a PostgreSQL table, so that every server on the database sees
// the attempts of all of them.
#include "store/postgres/PostgresFailureCounters.h"

#include <algorithm>
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

FailureCounters::Clock::time_point Time(const std::string& micros) {
  return FailureCounters::Clock::time_point(
      std::chrono::duration_cast<FailureCounters::Clock::duration>(
          std::chrono::microseconds(std::stoll(micros))));
}

// The keys' placeholders from $`first` on: "$2, $3, $4".
std::string Placeholders(std::size_t count, std::size_t first) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    list += (i == 0 ? "$" : ", $") + std::to_string(first + i);
  }
  return list;
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

// One lock for every admission on the database: counting and noting an attempt must not
// interleave with another server's, or both could count before either noted. Old attempts
// of the keys go with each new one, so that the table holds only what counts.
FailureCounters::Clock::time_point PostgresFailureCounters::Admit(
    const std::vector<std::string>& keys, Clock::time_point now, Clock::time_point since,
    const Schedule& schedule) {
  const std::lock_guard lock(mutex_);
  PgConnection& db = Connection();
  PgTransaction transaction(db);
  db.Query("SELECT pg_advisory_xact_lock(4732093)");
  // Now and then the expired attempts of every key, which guesses at many addresses leave.
  if (++additions_ % kSweepEvery == 0) {
    db.Query("DELETE FROM LoginFailures WHERE FailedAt < $1", {Micros(since)});
  }
  std::vector<std::string> params{Micros(since)};
  params.insert(params.end(), keys.begin(), keys.end());
  db.Query("DELETE FROM LoginFailures WHERE FailedAt < $1 AND Key IN (" +
               Placeholders(keys.size(), 2) + ")",
           params);
  params[0] = Micros(now);
  const PgResult found = db.Query(
      "SELECT Key, count(*), count(*) FILTER (WHERE FailedAt <= $1), max(FailedAt) "
      "FROM LoginFailures WHERE Key IN (" +
          Placeholders(keys.size(), 2) + ") GROUP BY Key",
      params);
  std::vector<KeyCount> counts(keys.size());
  for (int row = 0; row < found.Rows(); ++row) {
    const auto key = std::find(keys.begin(), keys.end(), found.Text(row, 0));
    if (key == keys.end()) continue;
    KeyCount& count = counts[static_cast<std::size_t>(key - keys.begin())];
    count.attempts = std::stoi(found.Text(row, 1));
    count.answered = std::stoi(found.Text(row, 2));
    count.latest = Time(found.Text(row, 3));
  }
  const Clock::time_point at = schedule(counts);
  std::string rows;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    rows += (i == 0 ? "($" : ", ($") + std::to_string(i + 2) + ", $1)";
  }
  params[0] = Micros(at);
  db.Query("INSERT INTO LoginFailures (Key, FailedAt) VALUES " + rows, params);
  transaction.Commit();
  return at;
}

void PostgresFailureCounters::Withdraw(const std::vector<std::string>& keys, Clock::time_point at,
                                       const std::string& cleared) {
  const std::lock_guard lock(mutex_);
  PgConnection& db = Connection();
  PgTransaction transaction(db);
  std::vector<std::string> params{Micros(at)};
  params.insert(params.end(), keys.begin(), keys.end());
  // One row per key: another attempt may have been noted at the very same microsecond.
  db.Query(
      "DELETE FROM LoginFailures WHERE ctid IN (SELECT DISTINCT ON (Key) ctid FROM "
      "LoginFailures WHERE FailedAt = $1 AND Key IN (" +
          Placeholders(keys.size(), 2) + "))",
      params);
  db.Query("DELETE FROM LoginFailures WHERE Key = $1 AND FailedAt <= $2", {cleared, Micros(at)});
  transaction.Commit();
}
