// A prepared SQLite statement with typed binding and column access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

// Owns one sqlite3_stmt. Failures throw DatabaseError with SQLite's message.
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  void Bind(int index, std::string_view text);
  void Bind(int index, std::int64_t value);
  // True when a row is ready, false when the statement has finished.
  bool Step();
  // A NULL column reads as empty text or 0.
  std::string Text(int column) const;
  std::int64_t Int(int column) const;
  // Back to the start with every parameter cleared, ready for the next use.
  void Reset();

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};
