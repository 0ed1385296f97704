// Failed logins counted in a PostgreSQL table, so that every server on the database sees
// the failures of all of them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "login/FailureCounters.h"

class PgConnection;

// Over one connection of its own, opened again when it was lost. Safe from every connection
// thread; logins take their turns on it, which costs little beside the hash each one takes.
// Failures throw DatabaseError.
class PostgresFailureCounters final : public FailureCounters {
 public:
  // Connects and creates the table LoginFailures when it is missing.
  explicit PostgresFailureCounters(std::string conninfo);
  ~PostgresFailureCounters() override;

  int AddFailure(const std::string& key, Clock::time_point at, Clock::time_point since) override;
  int Failures(const std::string& key, Clock::time_point since) override;
  void Clear(const std::string& key) override;

 private:
  PgConnection& Connection();

  std::string conninfo_;
  std::mutex mutex_;
  std::unique_ptr<PgConnection> db_;
  std::uint64_t additions_ = 0;
};
