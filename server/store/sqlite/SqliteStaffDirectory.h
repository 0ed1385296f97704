// The members of staff in a SQLite hosp.db.
#pragma once

#include "store/ConnectionPool.h"
#include "store/StaffDirectory.h"
#include "store/sqlite/SqliteDatabase.h"

class SqliteStaffDirectory final : public StaffDirectory {
 public:
  explicit SqliteStaffDirectory(ConnectionPool<SqliteDatabase>::Lease db) : db_(std::move(db)) {}

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

  ConnectionPool<SqliteDatabase>::Lease db_;
};
