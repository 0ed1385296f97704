// The hospital database in one SQLite file (WAL mode), over a bounded set of connections.
#include "store/sqlite/SqliteStore.h"

#include <unordered_map>

#include "audit/AuditSigner.h"
#include "store/DemoData.h"
#include "store/sqlite/SqliteSchema.h"
#include "store/sqlite/SqliteStaffDirectory.h"

namespace {

// Longer than SQLite's own busy timeout, so that a lease waits out one slow writer.
constexpr std::chrono::milliseconds kLeaseWait{10000};

constexpr std::string_view kOpenCase = "upper(f25) IS NOT 'Y'";

// Fields with an empty value are left out, as the client reads a missing field as empty.
FieldList ReadFields(const SqliteStatement& row, const std::vector<std::string_view>& names,
                     int first) {
  FieldList fields;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string value = row.Text(first + static_cast<int>(i));
    if (!value.empty()) fields.emplace_back(std::string(names[i]), std::move(value));
  }
  return fields;
}

void InsertRows(SqliteDatabase& db, std::string_view table,
                const std::vector<std::string_view>& columns,
                const std::vector<std::vector<std::string>>& rows) {
  Cursor insert = db.Query("INSERT INTO " + std::string(table) + " (" + JoinColumns(columns) +
                           ") VALUES (" + Placeholders(columns.size(), kSqliteDialect) + ")");
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) insert->Bind(static_cast<int>(i + 1), row[i]);
    insert->Step();
    insert->Reset();
  }
}

std::vector<AuditRecord> ReadAuditRecords(SqliteDatabase& db, std::string_view order) {
  Cursor query =
      db.Query("SELECT " + std::string(kAuditColumns) + " FROM AuditTrail " + std::string(order));
  std::vector<AuditRecord> records;
  while (query->Step()) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < kAuditColumnCount; ++i) {
      values.push_back(query->Text(static_cast<int>(i)));
    }
    records.push_back(AuditRecordFrom(std::move(values)));
  }
  return records;
}

// Runs in the caller's write transaction, which SQLite holds alone: nobody appends meanwhile.
void InsertChained(SqliteDatabase& db, const AuditSigner& signer, AuditRecord& record) {
  const std::vector<AuditRecord> last = ReadAuditRecords(db, "ORDER BY Seq DESC LIMIT 1");
  signer.Chain(record, last.empty() ? nullptr : &last.front());
  Cursor insert = db.Query("INSERT INTO AuditTrail (" + std::string(kAuditColumns) + ") VALUES (" +
                           Placeholders(kAuditColumnCount, kSqliteDialect) + ")");
  const std::vector<std::string> values = AuditValues(record);
  for (std::size_t i = 0; i < values.size(); ++i) insert->Bind(static_cast<int>(i + 1), values[i]);
  insert->Step();
}

}  // namespace

std::unique_ptr<StaffDirectory> SqliteStore::Staff() {
  return std::make_unique<SqliteStaffDirectory>(pool_.Acquire());
}

SqliteStore::SqliteStore(std::string path, int connections, bool create)
    : path_(std::move(path)),
      pool_([this] { return SqliteDatabase::Open(path_, false); }, connections, kLeaseWait) {
  // Fail at start-up, not at the first request, when the file is no usable database.
  const auto db = SqliteDatabase::Open(path_, create);
  UpgradeSchema(*db);
}

std::string SqliteStore::Description() const { return "SQLite " + path_; }

std::optional<std::vector<std::string>> SqliteStore::ReadRecord(const TableLayout& table,
                                                                const RecordKey& key) {
  auto db = pool_.Acquire();
  Cursor query =
      db->Query("SELECT " + JoinColumns(table.record_columns) + " FROM " + std::string(table.name) +
                " WHERE " + std::string(table.key_column) + " = ?1 LIMIT 1");
  if (table.numeric_key) {
    query->Bind(1, key.number);
  } else {
    query->Bind(1, key.text);
  }
  if (!query->Step()) return std::nullopt;
  std::vector<std::string> values;
  for (std::size_t i = 0; i < table.record_columns.size(); ++i) {
    values.push_back(query->Text(static_cast<int>(i)));
  }
  return values;
}

std::optional<bool> SqliteStore::ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                             const Assignments& assignments,
                                             const Approver& approver) {
  auto db = pool_.Acquire();
  Transaction transaction(*db, Transaction::Kind::Write);
  const bool approving = Signer() != nullptr && Approves(table, assignments);
  bool approved_before = false;
  {
    Cursor exists =
        db->Query(approving ? "SELECT upper(f25) IS 'Y' FROM Cases WHERE Seq = ?1"
                            : "SELECT 1 FROM " + std::string(table.name) + " WHERE Seq = ?1");
    exists->Bind(1, seq);
    if (!exists->Step()) return std::nullopt;
    approved_before = approving && exists->Int(0) != 0;
  }
  // Not cached: the field sets a client may send are too many to keep a statement for each.
  const auto update = db->Prepare(UpdateSql(table, assignments, kSqliteDialect));
  update->Bind(1, seq);
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    update->Bind(static_cast<int>(i + 2), assignments[i].second);
  }
  update->Step();
  const bool changed = db->Changes() > 0;
  if (approving && changed && !approved_before) AppendApproval(*db, seq, approver);
  transaction.Commit();
  return changed;
}

void SqliteStore::AppendApproval(SqliteDatabase& db, std::int64_t seq, const Approver& approver) {
  std::int64_t approval_seq = 0;
  {
    Cursor approval = db.Query("SELECT max(Seq) FROM Approvals WHERE CaseSeq = ?1");
    approval->Bind(1, seq);
    if (approval->Step()) approval_seq = approval->Int(0);
  }
  AuditRecord record = ApprovalRecord(seq, approval_seq, approver);
  InsertChained(db, *Signer(), record);
}

std::vector<AuditRecord> SqliteStore::ReadAudit(std::string_view order) {
  auto db = pool_.Acquire();
  Transaction transaction(*db, Transaction::Kind::Read);
  return ReadAuditRecords(*db, order);
}

std::int64_t SqliteStore::AuditBacklog() {
  auto db = pool_.Acquire();
  Cursor count = db->Query("SELECT count(*) FROM AuditBacklog");
  return count->Step() ? count->Int(0) : 0;
}

std::int64_t SqliteStore::ChainBacklog(const AuditSigner& signer) {
  auto db = pool_.Acquire();
  Transaction transaction(*db, Transaction::Kind::Write);
  std::vector<std::pair<std::int64_t, std::int64_t>> approvals;  // Seq and CaseSeq
  {
    Cursor backlog = db->Query(
        "SELECT a.Seq, a.CaseSeq FROM AuditBacklog b JOIN Approvals a ON a.Seq = b.ApprovalSeq "
        "ORDER BY a.Seq");
    while (backlog->Step()) approvals.emplace_back(backlog->Int(0), backlog->Int(1));
  }
  const std::string now = UtcTimestamp();
  for (const auto& [approval_seq, case_seq] : approvals) {
    AuditRecord record;
    record.recorded_at = now;
    record.event = kEarlierApprovalEvent;
    record.case_seq = case_seq;
    record.approval_seq = approval_seq;
    record.server = signer.Server();
    InsertChained(*db, signer, record);
  }
  db->Execute("DELETE FROM AuditBacklog");
  transaction.Commit();
  return static_cast<std::int64_t>(approvals.size());
}

std::optional<Physician> SqliteStore::FindPhysician(std::int64_t seq) {
  auto db = pool_.Acquire();
  Cursor query = db->Query(
      "SELECT Title, FirstName, LastName, upper(PhysicianMark) = 'Y' FROM Personnel WHERE Seq = "
      "?1");
  query->Bind(1, seq);
  if (!query->Step()) return std::nullopt;
  std::vector<std::string> name_parts;
  for (int column = 0; column < 3; ++column) name_parts.push_back(query->Text(column));
  return MakePhysician(seq, name_parts, query->Int(3) != 0);
}

std::vector<CaseEntry> SqliteStore::OpenCases(std::int64_t doctor_seq) {
  auto db = pool_.Acquire();
  // One read transaction: the cases and their needs come from the same snapshot.
  Transaction transaction(*db, Transaction::Kind::Read);
  std::vector<CaseEntry> cases = ReadOpenCases(*db, doctor_seq);
  if (!cases.empty()) ReadNeeds(*db, doctor_seq, cases);
  transaction.Commit();
  return cases;
}

std::vector<CaseEntry> SqliteStore::ReadOpenCases(SqliteDatabase& db, std::int64_t doctor_seq) {
  Cursor query =
      db.Query("SELECT " + JoinColumns(CaseListFields()) + " FROM Cases WHERE DoctorSeq = ?1 AND " +
               std::string(kOpenCase) + " ORDER BY f13, Seq");
  query->Bind(1, doctor_seq);
  std::vector<CaseEntry> cases;
  while (query->Step()) {
    cases.push_back({query->Text(0), ReadFields(*query, CaseListFields(), 0), {}});
  }
  return cases;
}

void SqliteStore::ReadNeeds(SqliteDatabase& db, std::int64_t doctor_seq,
                            std::vector<CaseEntry>& cases) {
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < cases.size(); ++i) index.emplace(cases[i].seq, i);
  Cursor query = db.Query("SELECT n.CaseSeq, " + JoinColumns(NeedListFields(), "n.") +
                          " FROM Needs n JOIN Cases c ON c.Seq = n.CaseSeq"
                          " WHERE c.DoctorSeq = ?1 AND " +
                          std::string(kOpenCase) + " ORDER BY n.CaseSeq, n.Seq");
  query->Bind(1, doctor_seq);
  while (query->Step()) {
    const auto found = index.find(query->Text(0));
    if (found == index.end()) continue;
    cases[found->second].needs.push_back({query->Text(1), ReadFields(*query, NeedListFields(), 1)});
  }
}

void SqliteStore::LoadDemo(const DemoRecords& records) {
  auto db = pool_.Acquire();
  Transaction transaction(*db, Transaction::Kind::Write);
  {
    Cursor staff = db->Query("SELECT count(*) FROM Personnel");
    if (staff->Step() && staff->Int(0) != 0) {
      throw DatabaseError(path_ + " holds staff already; not overwritten");
    }
  }
  InsertRows(*db, "Personnel", PersonnelTable().record_columns, records.people);
  InsertRows(*db, "Cases", CasesTable().record_columns, records.cases);
  InsertRows(*db, "Needs", DemoNeedColumns(), records.needs);
  transaction.Commit();
}
