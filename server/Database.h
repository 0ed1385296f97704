// One SQLite connection of the servers, with its settings and its prepared statements.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "Statement.h"

struct sqlite3;

// A use of a cached statement; hands it back reset when it ends, so that no read
// transaction stays open behind a half-stepped statement.
class Cursor {
 public:
  explicit Cursor(Statement& statement) : statement_(&statement) {}
  ~Cursor() { statement_->Reset(); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  Statement* operator->() const { return statement_; }
  Statement& operator*() const { return *statement_; }

 private:
  Statement* statement_;
};

class Database {
 public:
  // Opens the file in WAL mode with a busy timeout and full synchronous commits;
  // `create` allows a new file. Throws DatabaseError.
  static std::unique_ptr<Database> Open(const std::string& path, bool create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Runs one or more statements that return no rows. Throws DatabaseError.
  void Execute(const char* sql);
  // The statement for `sql`, prepared once per connection.
  Cursor Query(std::string_view sql);
  // A statement for one use only. Throws DatabaseError.
  std::unique_ptr<Statement> Prepare(std::string_view sql);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int Changes() const;

  static constexpr int kBusyTimeoutMs = 5000;

 private:
  explicit Database(sqlite3* db) : db_(db) {}

  sqlite3* db_;
  std::map<std::string, std::unique_ptr<Statement>, std::less<>> statements_;
};

// BEGIN on construction; ROLLBACK on destruction unless Commit() ran.
class Transaction {
 public:
  enum class Kind { Read, Write };
  Transaction(Database& db, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();

 private:
  Database& db_;
  bool open_ = true;
};
