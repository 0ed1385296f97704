// Reads and changes a server's database file directly, beside the running server.
#pragma once

#include <string>
#include <vector>

struct sqlite3;

class SqliteProbe {
 public:
  // Opens the file read-write (WAL lets the server go on meanwhile); throws on failure.
  explicit SqliteProbe(const std::string& path);
  ~SqliteProbe();
  SqliteProbe(const SqliteProbe&) = delete;
  SqliteProbe& operator=(const SqliteProbe&) = delete;

  // Every row of the query, each column as text (NULL as empty).
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  // The first column of the first row, or empty.
  std::string Value(const std::string& sql);
  void Execute(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};
