// Reads and changes a server's database file directly, beside the running server.
#include "SqliteProbe.h"

#include <sqlite3.h>

#include <stdexcept>

SqliteProbe::SqliteProbe(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db_);
    throw std::runtime_error("cannot open " + path);
  }
  sqlite3_busy_timeout(db_, 10000);
}

SqliteProbe::~SqliteProbe() { sqlite3_close(db_); }

std::vector<std::vector<std::string>> SqliteProbe::Rows(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db_));
  }
  std::vector<std::vector<std::string>> rows;
  int result = 0;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const auto* text = sqlite3_column_text(statement, i);
      row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(statement);
  if (result != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
  return rows;
}

void SqliteProbe::Execute(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "sqlite3_exec failed";
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
}
