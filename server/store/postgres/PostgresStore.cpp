// The hospital database in PostgreSQL, shared by any number of servers, over a bounded set
// of connections that are opened again when the database was lost.
#include "store/postgres/PostgresStore.h"

#include "audit/AuditSigner.h"
#include "store/DatabaseError.h"
#include "store/DemoData.h"
#include "store/postgres/PostgresFailureCounters.h"
#include "store/postgres/PostgresSchema.h"
#include "store/postgres/PostgresSessionTable.h"
#include "store/postgres/PostgresStaffDirectory.h"

namespace {

// A request waits this long for a connection that another thread has borrowed.
constexpr std::chrono::milliseconds kLeaseWait{10000};

constexpr std::string_view kOpenCase = "upper(c.f25) IS DISTINCT FROM 'Y'";

// Fields with an empty value are left out, as the client reads a missing field as empty.
FieldList ReadFields(const PgResult& rows, int row, const std::vector<std::string_view>& names,
                     int first) {
  FieldList fields;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string value = rows.Text(row, first + static_cast<int>(i));
    if (!value.empty()) fields.emplace_back(std::string(names[i]), std::move(value));
  }
  return fields;
}

void InsertRows(PgConnection& db, std::string_view table,
                const std::vector<std::string_view>& columns,
                const std::vector<std::vector<std::string>>& rows) {
  const std::string sql = "INSERT INTO " + std::string(table) + " (" + JoinColumns(columns) +
                          ") VALUES (" + Placeholders(columns.size(), kPostgresDialect) + ")";
  for (const auto& row : rows) db.Query(sql, row);
}

// Rows inserted with their own Seq leave the identity counter behind; the next row
// without one must not collide with them.
void MoveCounterPast(PgConnection& db, std::string_view table) {
  const std::string name(table);
  db.QueryOnce("SELECT setval(pg_get_serial_sequence('" + name + "', 'seq'), max(Seq)) FROM " +
               name + " HAVING max(Seq) IS NOT NULL");
}

std::vector<AuditRecord> ReadAuditRecords(PgConnection& db, std::string_view order) {
  const PgResult rows =
      db.Query("SELECT " + std::string(kAuditColumns) + " FROM AuditTrail " + std::string(order));
  std::vector<AuditRecord> records;
  for (int row = 0; row < rows.Rows(); ++row) {
    std::vector<std::string> values;
    for (int column = 0; column < rows.Columns(); ++column) {
      values.push_back(rows.Text(row, column));
    }
    records.push_back(AuditRecordFrom(std::move(values)));
  }
  return records;
}

// Every server appends under this lock, taken inside the caller's transaction and held to its
// end, and reads the last record only after it: the chain never forks. Readers pass it.
void LockAuditTrail(PgConnection& db) { db.Execute("LOCK TABLE AuditTrail IN EXCLUSIVE MODE"); }

void InsertChained(PgConnection& db, const AuditSigner& signer, AuditRecord& record) {
  const std::vector<AuditRecord> last = ReadAuditRecords(db, "ORDER BY Seq DESC LIMIT 1");
  signer.Chain(record, last.empty() ? nullptr : &last.front());
  db.Query("INSERT INTO AuditTrail (" + std::string(kAuditColumns) + ") VALUES (" +
               Placeholders(kAuditColumnCount, kPostgresDialect) + ")",
           AuditValues(record));
}

}  // namespace

PostgresStore::PostgresStore(std::string conninfo, int connections)
    : conninfo_(std::move(conninfo)),
      pool_([this] { return PgConnection::Open(conninfo_); }, connections, kLeaseWait) {
  auto db = pool_.Acquire();
  UpgradeSchema(*db);
  description_ = db->Description();
}

std::unique_ptr<StaffDirectory> PostgresStore::Staff() {
  return std::make_unique<PostgresStaffDirectory>(Take());
}

std::unique_ptr<FailureCounters> PostgresStore::SharedFailureCounters() {
  return std::make_unique<PostgresFailureCounters>(conninfo_);
}

// A pooled connection that the database has closed meanwhile (a restart, an administrator)
// has its notice waiting unread; it is replaced before any request is sent on it.
ConnectionPool<PgConnection>::Lease PostgresStore::Take() {
  for (int attempt = 0;; ++attempt) {
    auto db = pool_.Acquire();
    if (db.Fresh() || db->LooksAlive() || attempt > pool_.Capacity()) return db;
    db.Discard();
  }
}

// A connection can still break between that check and the request: a read that failed for
// that alone is run once more on a newly opened connection. Any other failure, and a
// second one, reaches the caller.
template <typename Work>
auto PostgresStore::Read(Work work) {
  for (int attempt = 0;; ++attempt) {
    auto db = Take();
    try {
      return work(*db);
    } catch (const DatabaseError&) {
      if (!db->Broken()) throw;
      const bool reused = !db.Fresh();
      db.Discard();
      if (!reused || attempt > 0) throw;
    }
  }
}

// A change is never repeated: when the connection broke, the change may or may not have
// been committed, and the caller answers with an error, which the client may send again.
template <typename Work>
auto PostgresStore::Write(Work work) {
  auto db = Take();
  try {
    return work(*db);
  } catch (const DatabaseError&) {
    if (db->Broken()) db.Discard();
    throw;
  }
}

std::unique_ptr<SessionTable> PostgresStore::SharedSessions() {
  return std::make_unique<PostgresSessionTable>(*this);
}

void PostgresStore::Run(const std::function<void(PgConnection&)>& work) { Read(work); }

std::optional<std::vector<std::string>> PostgresStore::ReadRecord(const TableLayout& table,
                                                                  const RecordKey& key) {
  const std::string columns = JoinColumns(table.record_columns);
  // Keys that are no e-mail address fold only A-Z, like the column itself (COLLATE "C").
  const std::string sql = table.numeric_key
                              ? "SELECT " + columns + " FROM " + std::string(table.name) +
                                    " WHERE " + std::string(table.key_column) + " = $1 LIMIT 1"
                              : "SELECT " + columns + " FROM " + std::string(table.name) +
                                    " WHERE lower(" + std::string(table.key_column) +
                                    ") = lower($1 COLLATE \"C\") LIMIT 1";
  const std::string value = table.numeric_key ? std::to_string(key.number) : std::string(key.text);
  return Read([&](PgConnection& db) -> std::optional<std::vector<std::string>> {
    const PgResult rows = db.Query(sql, {value});
    if (rows.Rows() == 0) return std::nullopt;
    std::vector<std::string> values;
    for (int i = 0; i < rows.Columns(); ++i) values.push_back(rows.Text(0, i));
    return values;
  });
}

std::optional<bool> PostgresStore::ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                               const Assignments& assignments,
                                               const Approver& approver) {
  std::vector<std::string> params{std::to_string(seq)};
  for (const auto& assignment : assignments) params.emplace_back(assignment.second);
  const bool approving = Signer() != nullptr && Approves(table, assignments);
  return Write([&](PgConnection& db) -> std::optional<bool> {
    // Not kept prepared: the field sets a client may send are too many.
    const std::string sql = UpdateSql(table, assignments, kPostgresDialect);
    if (approving) return ApplyApproval(db, sql, params, seq, approver);
    // One statement in its own transaction: committed (synchronously) when it returns.
    if (db.QueryOnce(sql, params).Affected() > 0) return true;
    const PgResult exists =
        db.Query("SELECT 1 FROM " + std::string(table.name) + " WHERE Seq = $1", {params[0]});
    if (exists.Rows() == 0) return std::nullopt;
    return false;
  });
}

// The case's row lock comes first and the trail's lock last, in every server, so that two
// approvals never wait for each other in a circle.
std::optional<bool> PostgresStore::ApplyApproval(PgConnection& db, const std::string& sql,
                                                 const std::vector<std::string>& params,
                                                 std::int64_t seq, const Approver& approver) {
  PgTransaction transaction(db);
  const PgResult before =
      db.Query("SELECT upper(f25) IS NOT DISTINCT FROM 'Y' FROM Cases WHERE Seq = $1 FOR UPDATE",
               {params[0]});
  if (before.Rows() == 0) return std::nullopt;
  const bool changed = db.QueryOnce(sql, params).Affected() > 0;
  if (changed && before.Text(0, 0) != "t") {
    LockAuditTrail(db);
    const PgResult approval =
        db.Query("SELECT max(Seq) FROM Approvals WHERE CaseSeq = $1", {params[0]});
    AuditRecord record = ApprovalRecord(seq, ParseSeq(approval.Text(0, 0)).value_or(0), approver);
    InsertChained(db, *Signer(), record);
  }
  transaction.Commit();
  return changed;
}

std::vector<AuditRecord> PostgresStore::ReadAudit(std::string_view order) {
  return Read([&](PgConnection& db) { return ReadAuditRecords(db, order); });
}

std::int64_t PostgresStore::AuditBacklog() {
  return Read([](PgConnection& db) {
    return ParseSeq(db.Query("SELECT count(*) FROM AuditBacklog").Text(0, 0)).value_or(0);
  });
}

// Servers starting together: the second waits for the lock and then finds the backlog empty.
std::int64_t PostgresStore::ChainBacklog(const AuditSigner& signer) {
  return Write([&](PgConnection& db) {
    PgTransaction transaction(db);
    LockAuditTrail(db);
    const PgResult backlog = db.Query(
        "SELECT a.Seq, a.CaseSeq FROM AuditBacklog b JOIN Approvals a ON a.Seq = b.ApprovalSeq "
        "ORDER BY a.Seq");
    const std::string now = UtcTimestamp();
    for (int row = 0; row < backlog.Rows(); ++row) {
      AuditRecord record;
      record.recorded_at = now;
      record.event = kEarlierApprovalEvent;
      record.approval_seq = ParseSeq(backlog.Text(row, 0)).value_or(0);
      record.case_seq = ParseSeq(backlog.Text(row, 1)).value_or(0);
      record.server = signer.Server();
      InsertChained(db, signer, record);
    }
    db.Execute("DELETE FROM AuditBacklog");
    transaction.Commit();
    return static_cast<std::int64_t>(backlog.Rows());
  });
}

std::optional<Physician> PostgresStore::FindPhysician(std::int64_t seq) {
  return Read([&](PgConnection& db) -> std::optional<Physician> {
    const PgResult rows = db.Query(
        "SELECT Title, FirstName, LastName, upper(PhysicianMark) = 'Y' FROM Personnel "
        "WHERE Seq = $1",
        {std::to_string(seq)});
    if (rows.Rows() == 0) return std::nullopt;
    return MakePhysician(seq, {rows.Text(0, 0), rows.Text(0, 1), rows.Text(0, 2)},
                         rows.Text(0, 3) == "t");
  });
}

// One statement, so one snapshot: each case once per need (or once with NULL need columns).
std::vector<CaseEntry> PostgresStore::OpenCases(std::int64_t doctor_seq) {
  const int need_first = static_cast<int>(CaseListFields().size());
  const std::string sql = "SELECT " + JoinColumns(CaseListFields(), "c.") + ", " +
                          JoinColumns(NeedListFields(), "n.") +
                          " FROM Cases c LEFT JOIN Needs n ON n.CaseSeq = c.Seq"
                          " WHERE c.DoctorSeq = $1 AND " +
                          std::string(kOpenCase) + " ORDER BY c.f13, c.Seq, n.Seq";
  return Read([&](PgConnection& db) {
    const PgResult rows = db.Query(sql, {std::to_string(doctor_seq)});
    std::vector<CaseEntry> cases;
    for (int row = 0; row < rows.Rows(); ++row) {
      std::string seq = rows.Text(row, 0);
      if (cases.empty() || cases.back().seq != seq) {
        cases.push_back({seq, ReadFields(rows, row, CaseListFields(), 0), {}});
      }
      if (rows.IsNull(row, need_first)) continue;
      cases.back().needs.push_back(
          {rows.Text(row, need_first), ReadFields(rows, row, NeedListFields(), need_first)});
    }
    return cases;
  });
}

void PostgresStore::LoadDemo(const DemoRecords& records) {
  Write([&](PgConnection& db) {
    PgTransaction transaction(db);
    // Two loads at once: the second waits here and then finds the staff of the first.
    db.Execute("LOCK TABLE Personnel IN SHARE ROW EXCLUSIVE MODE");
    if (db.Query("SELECT count(*) FROM Personnel").Text(0, 0) != "0") {
      throw DatabaseError(description_ + " holds staff already; not overwritten");
    }
    InsertRows(db, "Personnel", PersonnelTable().record_columns, records.people);
    InsertRows(db, "Cases", CasesTable().record_columns, records.cases);
    InsertRows(db, "Needs", DemoNeedColumns(), records.needs);
    for (const std::string_view table : {"Personnel", "Cases", "Needs"}) MoveCounterPast(db, table);
    transaction.Commit();
  });
}
