// Creates the tables of a new SQLite server database and upgrades older ones.
#include "store/sqlite/SqliteSchema.h"

#include <iterator>
#include <string>

#include "store/DatabaseError.h"
#include "store/HospitalStore.h"
#include "store/sqlite/SqliteDatabase.h"

namespace {

// Text columns default to '' so that rows loaded by hand with only some fields still read cleanly.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE Personnel (
  Seq             INTEGER PRIMARY KEY,
  Email           TEXT NOT NULL UNIQUE COLLATE NOCASE,
  StaffNumber     TEXT NOT NULL DEFAULT '',
  Department      TEXT NOT NULL DEFAULT '',
  Ward            TEXT NOT NULL DEFAULT '',
  Phone           TEXT NOT NULL DEFAULT '',
  Pager           TEXT NOT NULL DEFAULT '',
  Mobile          TEXT NOT NULL DEFAULT '',
  Office          TEXT NOT NULL DEFAULT '',
  JobTitle        TEXT NOT NULL DEFAULT '',
  Title           TEXT NOT NULL DEFAULT '',
  FirstName       TEXT NOT NULL DEFAULT '',
  MiddleName      TEXT NOT NULL DEFAULT '',
  LastName        TEXT NOT NULL DEFAULT '',
  NameSuffix      TEXT NOT NULL DEFAULT '',
  Gender          TEXT NOT NULL DEFAULT '',
  BirthDate       TEXT NOT NULL DEFAULT '',
  Street          TEXT NOT NULL DEFAULT '',
  PostalCode      TEXT NOT NULL DEFAULT '',
  City            TEXT NOT NULL DEFAULT '',
  LicenceNumber   TEXT NOT NULL DEFAULT '',
  Specialty       TEXT NOT NULL DEFAULT '',
  StartDate       TEXT NOT NULL DEFAULT '',
  Password        TEXT NOT NULL DEFAULT '',
  PasswordChanged TEXT NOT NULL DEFAULT '',
  Active          TEXT NOT NULL DEFAULT 'Y',
  Role            TEXT NOT NULL DEFAULT '',
  PhysicianMark   TEXT NOT NULL DEFAULT 'N'
);

CREATE TABLE Cases (
  Seq       INTEGER PRIMARY KEY,
  DoctorSeq INTEGER NOT NULL REFERENCES Personnel(Seq),
  pa10      TEXT NOT NULL DEFAULT '',
  pa12      TEXT NOT NULL DEFAULT '',
  pa14      TEXT NOT NULL DEFAULT '',
  ho10      TEXT NOT NULL DEFAULT '',
  f12       TEXT NOT NULL DEFAULT '',
  f13       TEXT NOT NULL DEFAULT '',
  f22       TEXT NOT NULL DEFAULT '',
  f25       TEXT NOT NULL DEFAULT '',
  f30       TEXT NOT NULL DEFAULT ''
);
CREATE INDEX CasesByDoctor ON Cases(DoctorSeq, f13);

CREATE TABLE Needs (
  Seq     INTEGER PRIMARY KEY,
  CaseSeq INTEGER NOT NULL REFERENCES Cases(Seq) ON DELETE CASCADE,
  pd12    TEXT NOT NULL DEFAULT '',
  pc12    TEXT NOT NULL DEFAULT '',
  pt11    TEXT NOT NULL DEFAULT ''
);
CREATE INDEX NeedsByCase ON Needs(CaseSeq);

CREATE TABLE Approvals (
  Seq        INTEGER PRIMARY KEY,
  CaseSeq    INTEGER NOT NULL,
  ApprovedAt TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f', 'now', 'localtime'))
);

-- One audit row per approval, however the mark is set (by the server or by hand).
CREATE TRIGGER RecordApproval AFTER UPDATE OF f25 ON Cases
  WHEN upper(NEW.f25) = 'Y' AND upper(OLD.f25) IS NOT 'Y'
BEGIN
  INSERT INTO Approvals (CaseSeq) VALUES (NEW.Seq);
END;
)sql";

// Audits and checks look approvals up by case.
constexpr const char* kVersion2 = "CREATE INDEX ApprovalsByCase ON Approvals(CaseSeq);";

// The audit trail, written by the servers alone, as only they hold the key its MACs need; so
// the approvals from before it wait in AuditBacklog for the first server that starts with it.
constexpr const char* kVersion3 = R"sql(
CREATE TABLE AuditTrail (
  Seq           INTEGER PRIMARY KEY,
  RecordedAt    TEXT NOT NULL,
  Event         TEXT NOT NULL,
  CaseSeq       INTEGER NOT NULL,
  ApprovalSeq   INTEGER NOT NULL,
  Staff         TEXT NOT NULL,
  ClientAddress TEXT NOT NULL,
  Server        TEXT NOT NULL,
  PreviousMac   TEXT NOT NULL,
  Mac           TEXT NOT NULL
);
CREATE TABLE AuditBacklog (ApprovalSeq INTEGER PRIMARY KEY);
INSERT INTO AuditBacklog SELECT Seq FROM Approvals;
)sql";

// A server on SQLite keeps its sessions in memory; the step keeps both stores' versions alike.
constexpr const char* kVersion4 = "SELECT 1;";

// Step N turns a database of version N-1 into one of version N.
constexpr const char* kSteps[] = {kVersion1, kVersion2, kVersion3, kVersion4};
static_assert(std::size(kSteps) == kSchemaVersion);

int StoredVersion(SqliteDatabase& db) {
  Cursor version = db.Query("PRAGMA user_version");
  return version->Step() ? static_cast<int>(version->Int(0)) : 0;
}

bool HasTable(SqliteDatabase& db, const char* name) {
  Cursor table = db.Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
  table->Bind(1, std::string_view(name));
  return table->Step();
}

}  // namespace

void UpgradeSchema(SqliteDatabase& db) {
  if (StoredVersion(db) == kSchemaVersion) {
    (void)db.Query("SELECT count(*) FROM Personnel, Cases, Needs, Approvals, AuditTrail WHERE 0");
    return;
  }
  // IMMEDIATE: a second server starting at the same moment waits and then finds it done.
  Transaction transaction(db, Transaction::Kind::Write);
  int version = StoredVersion(db);
  if (version > kSchemaVersion) {
    throw DatabaseError("the database has schema version " + std::to_string(version) +
                        ", newer than this hospd knows (" + std::to_string(kSchemaVersion) +
                        "); run a newer hospd");
  }
  // Files made before the schema had a version hold the tables of version 1.
  if (version == 0 && HasTable(db, "Personnel")) version = 1;
  for (; version < kSchemaVersion; ++version) db.Execute(kSteps[version]);
  // Fails here, not at the first request, when a table of version 1 is missing.
  (void)db.Query("SELECT count(*) FROM Personnel, Cases, Needs, Approvals, AuditTrail WHERE 0");
  db.Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  transaction.Commit();
}
