// Login attempts counted in a PostgreSQL table, so that every server on the database sees
// the attempts of all of them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "login/FailureCounters.h"

class PgConnection;

// Over one connection of its own, opened again when it was lost. Safe from every connection
// thread; logins take their turns on it, which costs little beside the hash each one takes.
// Admissions take turns across all servers on the database under one transaction lock (a
// few milliseconds each; nobody waits out a delay under it). Failures throw DatabaseError.
class PostgresFailureCounters final : public FailureCounters {
 public:
  // Connects and creates the table LoginFailures when it is missing.
  explicit PostgresFailureCounters(std::string conninfo);
  ~PostgresFailureCounters() override;

  Clock::time_point Admit(const std::vector<std::string>& keys, Clock::time_point now,
                          Clock::time_point since, const Schedule& schedule) override;
  void Withdraw(const std::vector<std::string>& keys, Clock::time_point at,
                const std::string& cleared) override;

 private:
  PgConnection& Connection();

  std::string conninfo_;
  std::mutex mutex_;
  std::unique_ptr<PgConnection> db_;
  std::uint64_t additions_ = 0;
};
