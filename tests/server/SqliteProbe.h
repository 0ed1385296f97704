// Reads and changes a server's database file directly, beside the running server.
#pragma once

#include <string>
#include <vector>

#include "DbProbe.h"

struct sqlite3;

class SqliteProbe : public DbProbe {
 public:
  // Opens the file read-write (WAL lets the server go on meanwhile); throws on failure.
  explicit SqliteProbe(const std::string& path);
  ~SqliteProbe() override;
  SqliteProbe(const SqliteProbe&) = delete;
  SqliteProbe& operator=(const SqliteProbe&) = delete;

  std::vector<std::vector<std::string>> Rows(const std::string& sql) override;
  void Execute(const std::string& sql) override;

 private:
  sqlite3* db_ = nullptr;
};
