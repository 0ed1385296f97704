// The members of staff in a PostgreSQL database.
#pragma once

#include "store/ConnectionPool.h"
#include "store/StaffDirectory.h"
#include "store/postgres/PgConnection.h"

class PostgresStaffDirectory final : public StaffDirectory {
 public:
  explicit PostgresStaffDirectory(ConnectionPool<PgConnection>::Lease db) : db_(std::move(db)) {}

  bool Has(const std::string& email) override;
  std::vector<StaffMember> List() override;
  std::int64_t Add(const NewStaffMember& member) override;
  bool SetPassword(const std::string& email, const std::string& stored_password) override;
  RemoveOutcome Remove(const std::string& email, std::int64_t& cases) override;

 protected:
  std::vector<StoredLogin> StoredPasswords(const std::string& prefix) override;
  int ReplacePasswords(
      const std::vector<std::pair<StoredLogin, std::string>>& replacements) override;

 private:
  std::int64_t FindSeq(const std::string& email);

  ConnectionPool<PgConnection>::Lease db_;
};
