// Reads and changes a server's database directly, beside the running server, whichever
// database system holds it.
#pragma once

#include <memory>
#include <string>
#include <vector>

class DbProbe {
 public:
  virtual ~DbProbe() = default;
  // Every row of the query, each column as text (NULL as empty). Throws std::runtime_error.
  virtual std::vector<std::vector<std::string>> Rows(const std::string& sql) = 0;
  virtual void Execute(const std::string& sql) = 0;
  // The first column of the first row, or empty.
  std::string Value(const std::string& sql);
};

// A PostgreSQL database by URL; texts travel as LATIN1, byte for byte, as the server's do.
class PostgresProbe : public DbProbe {
 public:
  explicit PostgresProbe(const std::string& url);
  ~PostgresProbe() override;
  PostgresProbe(const PostgresProbe&) = delete;
  PostgresProbe& operator=(const PostgresProbe&) = delete;

  std::vector<std::vector<std::string>> Rows(const std::string& sql) override;
  void Execute(const std::string& sql) override;

 private:
  struct pg_conn* connection_ = nullptr;
};
