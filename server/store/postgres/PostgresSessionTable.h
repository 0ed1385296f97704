// Sessions kept in the PostgreSQL database, so that every server on it knows them: a client
// may reach one server for its data connection and another for its function connection.
#pragma once

#include <atomic>
#include <cstdint>

#include "login/SessionTable.h"

class PostgresStore;

// Works over the store's pooled connections (the store must outlive it); safe from every
// connection thread. Failures throw DatabaseError.
class PostgresSessionTable final : public SessionTable {
 public:
  explicit PostgresSessionTable(PostgresStore& store) : store_(store) {}

  void Add(const std::string& digest, const SessionOwner& owner, Clock::time_point now) override;
  std::optional<SessionOwner> Use(const std::string& digest, Clock::time_point now,
                                  Clock::time_point since, Clock::time_point stale) override;

 private:
  PostgresStore& store_;
  std::atomic<std::uint64_t> additions_ = 0;
};
