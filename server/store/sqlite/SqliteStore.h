// The hospital database in one SQLite file (WAL mode), over a bounded set of connections.
#pragma once

#include <string>

#include "store/ConnectionPool.h"
#include "store/HospitalStore.h"
#include "store/sqlite/SqliteDatabase.h"

class SqliteStore : public HospitalStore {
 public:
  // Opens the file (`create` allows a new one), creates or upgrades its schema and keeps at
  // most `connections` connections to it. Throws DatabaseError.
  SqliteStore(std::string path, int connections, bool create = false);

  std::optional<Physician> FindPhysician(std::int64_t seq) override;
  std::vector<CaseEntry> OpenCases(std::int64_t doctor_seq) override;
  void LoadDemo(const DemoRecords& records) override;
  std::string Description() const override;
  PoolUsage Usage() const override { return pool_.Usage(); }
  std::unique_ptr<StaffDirectory> Staff() override;
  std::int64_t AuditBacklog() override;

 protected:
  std::optional<std::vector<std::string>> ReadRecord(const TableLayout& table,
                                                     const RecordKey& key) override;
  std::optional<bool> ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                  const Assignments& assignments,
                                  const Approver& approver) override;
  std::vector<AuditRecord> ReadAudit(std::string_view order) override;
  std::int64_t ChainBacklog(const AuditSigner& signer) override;

 private:
  std::vector<CaseEntry> ReadOpenCases(SqliteDatabase& db, std::int64_t doctor_seq);
  void ReadNeeds(SqliteDatabase& db, std::int64_t doctor_seq, std::vector<CaseEntry>& cases);
  // Appends the audit record of the approval of case `seq`, whose Approvals row the trigger
  // has just written, inside the caller's write transaction.
  void AppendApproval(SqliteDatabase& db, std::int64_t seq, const Approver& approver);

  std::string path_;
  ConnectionPool<SqliteDatabase> pool_;
};
