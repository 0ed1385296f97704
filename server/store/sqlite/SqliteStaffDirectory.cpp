// The members of staff in a SQLite hosp.db.
#include "store/sqlite/SqliteStaffDirectory.h"

#include <stdexcept>

std::int64_t SqliteStaffDirectory::FindSeq(const std::string& email) {
  Cursor find = db_->Query("SELECT Seq FROM Personnel WHERE Email = ?1");
  find->Bind(1, email);
  return find->Step() ? find->Int(0) : 0;
}

bool SqliteStaffDirectory::Has(const std::string& email) {
  Transaction read(*db_, Transaction::Kind::Read);
  return FindSeq(email) != 0;
}

std::vector<StaffMember> SqliteStaffDirectory::List() {
  Transaction read(*db_, Transaction::Kind::Read);
  Cursor rows = db_->Query(
      "SELECT Seq, Email, Title, FirstName, LastName, Role, PhysicianMark, Active "
      "FROM Personnel ORDER BY Email COLLATE NOCASE");
  std::vector<StaffMember> members;
  while (rows->Step()) {
    members.push_back({rows->Int(0), rows->Text(1), rows->Text(2), rows->Text(3), rows->Text(4),
                       rows->Text(5), rows->Text(6), rows->Text(7)});
  }
  return members;
}

std::int64_t SqliteStaffDirectory::Add(const NewStaffMember& member) {
  CheckNewStaffMember(member);
  Transaction write(*db_, Transaction::Kind::Write);
  if (FindSeq(member.email) != 0) {
    throw std::invalid_argument(member.email + " is already a member of staff");
  }
  const std::string today = Today();
  {
    Cursor insert = db_->Query(
        "INSERT INTO Personnel (Email, Title, FirstName, LastName, Password, PasswordChanged, "
        "StartDate, Active, Role, PhysicianMark) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6, 'Y', ?7, ?8)");
    insert->Bind(1, member.email);
    insert->Bind(2, member.title);
    insert->Bind(3, member.first_name);
    insert->Bind(4, member.last_name);
    insert->Bind(5, member.stored_password);
    insert->Bind(6, today);
    insert->Bind(7, std::string_view(member.physician ? "Physician" : ""));
    insert->Bind(8, std::string_view(member.physician ? "Y" : "N"));
    insert->Step();
  }
  const std::int64_t seq = FindSeq(member.email);
  write.Commit();
  return seq;
}

bool SqliteStaffDirectory::SetPassword(const std::string& email,
                                       const std::string& stored_password) {
  Transaction write(*db_, Transaction::Kind::Write);
  {
    Cursor update =
        db_->Query("UPDATE Personnel SET Password = ?2, PasswordChanged = ?3 WHERE Email = ?1");
    update->Bind(1, email);
    update->Bind(2, stored_password);
    update->Bind(3, Today());
    update->Step();
  }
  if (db_->Changes() == 0) return false;
  write.Commit();
  return true;
}

RemoveOutcome SqliteStaffDirectory::Remove(const std::string& email, std::int64_t& cases) {
  Transaction write(*db_, Transaction::Kind::Write);
  const std::int64_t seq = FindSeq(email);
  if (seq == 0) return RemoveOutcome::NotFound;
  {
    Cursor count = db_->Query("SELECT count(*) FROM Cases WHERE DoctorSeq = ?1");
    count->Bind(1, seq);
    count->Step();
    cases = count->Int(0);
  }
  // Cases keep their physician's Seq for the record; removing the member would orphan them.
  if (cases > 0) return RemoveOutcome::HasCases;
  {
    Cursor remove = db_->Query("DELETE FROM Personnel WHERE Seq = ?1");
    remove->Bind(1, seq);
    remove->Step();
  }
  write.Commit();
  return RemoveOutcome::Removed;
}

std::vector<StoredLogin> SqliteStaffDirectory::StoredPasswords(const std::string& prefix) {
  Transaction read(*db_, Transaction::Kind::Read);
  // substr rather than LIKE: LIKE would fold letter case and read "_" and "%" as patterns.
  Cursor rows = db_->Query(
      "SELECT Seq, Password FROM Personnel WHERE Password <> '' AND "
      "substr(Password, 1, length(?1)) = ?1");
  rows->Bind(1, prefix);
  std::vector<StoredLogin> logins;
  while (rows->Step()) logins.push_back({rows->Int(0), rows->Text(1)});
  return logins;
}

int SqliteStaffDirectory::ReplacePasswords(
    const std::vector<std::pair<StoredLogin, std::string>>& replacements) {
  // The old texts must not live on in freed pages of the file or in the log beside it.
  db_->Execute("PRAGMA secure_delete = ON");
  Transaction write(*db_, Transaction::Kind::Write);
  int replaced = 0;
  for (const auto& [old, replacement] : replacements) {
    Cursor update =
        db_->Query("UPDATE Personnel SET Password = ?3 WHERE Seq = ?1 AND Password = ?2");
    update->Bind(1, old.seq);
    update->Bind(2, old.password);
    update->Bind(3, replacement);
    update->Step();
    replaced += db_->Changes() > 0 ? 1 : 0;
  }
  write.Commit();
  // Best effort: a server reading at this moment keeps the log's old pages until it ends.
  db_->Execute("PRAGMA wal_checkpoint(TRUNCATE)");
  return replaced;
}
