// Creates the tables of a new server database.
#include "Schema.h"

#include <string>

#include "Database.h"

namespace {

// Text columns default to '' so that rows loaded by hand with only some fields still read cleanly.
constexpr const char* kSchema = R"sql(
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

}  // namespace

void CreateSchema(Database& db) {
  db.Execute(kSchema);
  db.Execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
}
