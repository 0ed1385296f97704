// The hospital database in PostgreSQL, shared by any number of servers, over a bounded set
// of connections that are opened again when the database was lost.
#pragma once

#include <functional>
#include <string>

#include "store/ConnectionPool.h"
#include "store/HospitalStore.h"
#include "store/postgres/PgConnection.h"

class PostgresStore : public HospitalStore {
 public:
  // Connects once (failing at once when the database cannot be reached), creates or upgrades
  // the schema and keeps at most `connections` connections. Throws DatabaseError.
  PostgresStore(std::string conninfo, int connections);

  std::optional<Physician> FindPhysician(std::int64_t seq) override;
  std::vector<CaseEntry> OpenCases(std::int64_t doctor_seq) override;
  void LoadDemo(const DemoRecords& records) override;
  std::string Description() const override { return description_; }
  PoolUsage Usage() const override { return pool_.Usage(); }
  std::unique_ptr<StaffDirectory> Staff() override;
  std::unique_ptr<FailureCounters> SharedFailureCounters() override;
  std::int64_t AuditBacklog() override;
  std::unique_ptr<SessionTable> SharedSessions() override;

  // Runs `work` on a pooled connection, and once more on a new one when that connection
  // turned out to be lost: only for work that may run twice.
  void Run(const std::function<void(PgConnection&)>& work);

 protected:
  std::optional<std::vector<std::string>> ReadRecord(const TableLayout& table,
                                                     const RecordKey& key) override;
  std::optional<bool> ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                  const Assignments& assignments,
                                  const Approver& approver) override;
  std::vector<AuditRecord> ReadAudit(std::string_view order) override;
  std::int64_t ChainBacklog(const AuditSigner& signer) override;

 private:
  ConnectionPool<PgConnection>::Lease Take();
  template <typename Work>
  auto Read(Work work);
  template <typename Work>
  auto Write(Work work);
  // The update of an approval with its audit record, in one transaction.
  std::optional<bool> ApplyApproval(PgConnection& db, const std::string& sql,
                                    const std::vector<std::string>& params, std::int64_t seq,
                                    const Approver& approver);

  std::string conninfo_;
  std::string description_;
  ConnectionPool<PgConnection> pool_;
};
