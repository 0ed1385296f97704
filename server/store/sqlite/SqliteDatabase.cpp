// One SQLite connection of the servers, with its settings and its prepared statements.
#include "store/sqlite/SqliteDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "UniqueFd.h"
#include "store/DatabaseError.h"

void SqliteDatabase::CreateOwnerOnlyFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.Valid()) {
    const int error = errno;
    if (error == EEXIST) return;
    throw DatabaseError("cannot create " + path + ": " + std::strerror(error));
  }
  // fchmod as well: a umask such as 0277 would take the owner's own bits away.
  if (::fchmod(fd.Get(), 0600) != 0) {
    throw DatabaseError("cannot set the mode of " + path + ": " + std::strerror(errno));
  }
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::Open(const std::string& path, bool create) {
  // SQLite would make a new database with the umask's mode (0644 under the usual 022).
  if (create) CreateOwnerOnlyFile(path);
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (result != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result);
    sqlite3_close(db);
    throw DatabaseError("cannot open " + path + ": " + message);
  }
  std::unique_ptr<SqliteDatabase> database(new SqliteDatabase(db));
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  // FULL: an approval is on disk before its answer goes out, even in WAL mode.
  database->Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;");
  return database;
}

SqliteDatabase::~SqliteDatabase() {
  statements_.clear();  // statements must be finalized before the connection closes
  sqlite3_close(db_);
}

void SqliteDatabase::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw DatabaseError(message);
  }
}

Cursor SqliteDatabase::Query(std::string_view sql) {
  auto found = statements_.find(sql);
  if (found == statements_.end()) {
    found =
        statements_.emplace(std::string(sql), std::make_unique<SqliteStatement>(db_, sql)).first;
  }
  return Cursor(*found->second);
}

std::unique_ptr<SqliteStatement> SqliteDatabase::Prepare(std::string_view sql) {
  return std::make_unique<SqliteStatement>(db_, sql);
}

int SqliteDatabase::Changes() const { return sqlite3_changes(db_); }

Transaction::Transaction(SqliteDatabase& db, Kind kind) : db_(db) {
  // IMMEDIATE takes the write lock up front, so a writer never fails half-way on a busy upgrade.
  db_.Execute(kind == Kind::Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  if (!open_) return;
  try {
    db_.Execute("ROLLBACK");
  } catch (const DatabaseError&) {
    // Nothing more can be done; SQLite has already rolled back when ROLLBACK itself fails.
  }
}

void Transaction::Commit() {
  db_.Execute("COMMIT");
  open_ = false;
}
