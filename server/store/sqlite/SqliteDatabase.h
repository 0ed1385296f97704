// One SQLite connection of the servers, with its settings and its prepared statements.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "store/sqlite/SqliteStatement.h"

struct sqlite3;

// A use of a cached statement; hands it back reset when it ends, so that no read
// transaction stays open behind a half-stepped statement.
class Cursor {
 public:
  explicit Cursor(SqliteStatement& statement) : statement_(&statement) {}
  ~Cursor() { statement_->Reset(); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  SqliteStatement* operator->() const { return statement_; }
  SqliteStatement& operator*() const { return *statement_; }

 private:
  SqliteStatement* statement_;
};

class SqliteDatabase {
 public:
  // Opens the file in WAL mode with a busy timeout and full synchronous commits;
  // `create` allows a new file. Throws DatabaseError.
  static std::unique_ptr<SqliteDatabase> Open(const std::string& path, bool create);
  // Creates `path` as an empty file with mode 0600 whatever the umask, unless it exists.
  // SQLite takes an empty file as an empty database and gives the -wal, -shm and -journal
  // files it makes beside it the database's mode, so all of them stay their owner's alone.
  // Throws DatabaseError when it cannot.
  static void CreateOwnerOnlyFile(const std::string& path);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Runs one or more statements that return no rows. Throws DatabaseError.
  void Execute(const char* sql);
  // The statement for `sql`, prepared once per connection.
  Cursor Query(std::string_view sql);
  // A statement for one use only. Throws DatabaseError.
  std::unique_ptr<SqliteStatement> Prepare(std::string_view sql);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const;

  static constexpr int kBusyTimeoutMs = 5000;

 private:
  explicit SqliteDatabase(sqlite3* db) : db_(db) {}

  sqlite3* db_;
  std::map<std::string, std::unique_ptr<SqliteStatement>, std::less<>> statements_;
};

// BEGIN on construction; ROLLBACK on destruction unless Commit() ran.
class Transaction {
 public:
  enum class Kind { Read, Write };
  Transaction(SqliteDatabase& db, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();

 private:
  SqliteDatabase& db_;
  bool open_ = true;
};
