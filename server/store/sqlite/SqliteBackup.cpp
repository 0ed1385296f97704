// A consistent copy of a live SQLite database, taken with SQLite's online backup.
#include "store/sqlite/SqliteBackup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "UniqueFd.h"
#include "store/DatabaseError.h"
#include "store/sqlite/SqliteDatabase.h"

namespace fs = std::filesystem;

namespace {

struct ConnectionClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionClose>;

Connection OpenConnection(const fs::path& path, int flags) {
  sqlite3* db = nullptr;
  const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Connection connection(db);
  if (result != SQLITE_OK) {
    throw DatabaseError("cannot open " + path.string() + ": " +
                        (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(result)));
  }
  sqlite3_busy_timeout(db, 5000);
  return connection;
}

void Execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw DatabaseError(std::string(sql) + ": " + sqlite3_errmsg(db));
  }
}

// One step copies every page inside one read transaction of the source. In WAL mode that
// transaction never blocks the server's writers, and the copy is the state at its start;
// copying in slices instead would start over after every write and might never finish.
void CopyPages(sqlite3* source, sqlite3* copy) {
  sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
  if (backup == nullptr) throw DatabaseError(std::string("backup: ") + sqlite3_errmsg(copy));
  int result = SQLITE_OK;
  for (int attempt = 0; attempt < 200; ++attempt) {
    result = sqlite3_backup_step(backup, -1);
    if (result != SQLITE_BUSY && result != SQLITE_LOCKED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  sqlite3_backup_finish(backup);
  if (result != SQLITE_DONE) {
    throw DatabaseError(std::string("backup: ") + sqlite3_errstr(result));
  }
}

// The copy becomes one self-contained file and must read back whole.
void SettleCopy(sqlite3* copy) {
  Execute(copy, "PRAGMA journal_mode=DELETE");
  sqlite3_stmt* check = nullptr;
  if (sqlite3_prepare_v2(copy, "PRAGMA quick_check", -1, &check, nullptr) != SQLITE_OK) {
    throw DatabaseError(std::string("quick_check: ") + sqlite3_errmsg(copy));
  }
  const bool ok = sqlite3_step(check) == SQLITE_ROW &&
                  std::string(reinterpret_cast<const char*>(sqlite3_column_text(check, 0))) == "ok";
  sqlite3_finalize(check);
  if (!ok) throw DatabaseError("the copy does not pass SQLite's quick_check");
}

void SyncPath(const fs::path& path, int flags) {
  const UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC));
  if (!fd.Valid() || ::fsync(fd.Get()) != 0) {
    throw std::runtime_error("cannot sync " + path.string());
  }
}

}  // namespace

void BackupDatabase(const fs::path& source, const fs::path& destination) {
  if (!fs::exists(source)) throw std::runtime_error(source.string() + " does not exist");
  if (fs::exists(destination)) {
    throw std::runtime_error(destination.string() + " exists already; not overwritten");
  }
  const fs::path partial = destination.string() + ".part-" + std::to_string(::getpid());
  fs::remove(partial);
  try {
    {
      const Connection from = OpenConnection(source, SQLITE_OPEN_READWRITE);
      SqliteDatabase::CreateOwnerOnlyFile(partial);  // the copy holds every password
      const Connection copy = OpenConnection(partial, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
      CopyPages(from.get(), copy.get());
      SettleCopy(copy.get());
    }
    SyncPath(partial, O_RDONLY);
    // link() instead of rename(): a file that appeared meanwhile is not replaced either.
    if (::link(partial.c_str(), destination.c_str()) != 0) {
      throw std::runtime_error("cannot create " + destination.string());
    }
    fs::remove(partial);
    SyncPath(fs::absolute(destination).parent_path(), O_RDONLY | O_DIRECTORY);
  } catch (...) {
    fs::remove(partial);
    fs::remove(partial.string() + "-journal");
    throw;
  }
}
