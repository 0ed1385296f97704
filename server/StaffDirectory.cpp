// The members of staff in the "Personnel" table, as the administrator's commands see them.
#include "StaffDirectory.h"

#include <ctime>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Database.h"
#include "PasswordHash.h"

namespace {

// YYYYMMDD in local time, the form of the table's date columns.
std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[16] = {};
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  }
  return false;
}

std::int64_t FindSeq(Database& db, const std::string& email) {
  Cursor find = db.Query("SELECT Seq FROM Personnel WHERE Email = ?1");
  find->Bind(1, email);
  return find->Step() ? find->Int(0) : 0;
}

void CheckStaffText(const std::string& what, const std::string& text, bool required) {
  if (required && text.empty()) throw std::invalid_argument(what + " may not be empty");
  if (HasControlCharacter(text)) throw std::invalid_argument(what + " holds a control character");
}

}  // namespace

void CheckEmail(const std::string& email) {
  CheckStaffText("the e-mail address", email, true);
  if (email.find('@') == std::string::npos || email.front() == ' ' || email.back() == ' ') {
    throw std::invalid_argument("\"" + email + "\" is not an e-mail address");
  }
}

void CheckNewStaffMember(const NewStaffMember& member) {
  CheckEmail(member.email);
  CheckStaffText("the first name", member.first_name, true);
  CheckStaffText("the last name", member.last_name, true);
  CheckStaffText("the title", member.title, false);
}

bool StaffDirectory::Has(const std::string& email) {
  Transaction read(db_, Transaction::Kind::Read);
  return FindSeq(db_, email) != 0;
}

std::vector<StaffMember> StaffDirectory::List() {
  Transaction read(db_, Transaction::Kind::Read);
  Cursor rows = db_.Query(
      "SELECT Seq, Email, Title, FirstName, LastName, Role, PhysicianMark, Active "
      "FROM Personnel ORDER BY Email COLLATE NOCASE");
  std::vector<StaffMember> members;
  while (rows->Step()) {
    members.push_back({rows->Int(0), rows->Text(1), rows->Text(2), rows->Text(3), rows->Text(4),
                       rows->Text(5), rows->Text(6), rows->Text(7)});
  }
  return members;
}

std::int64_t StaffDirectory::Add(const NewStaffMember& member) {
  CheckNewStaffMember(member);
  Transaction write(db_, Transaction::Kind::Write);
  if (FindSeq(db_, member.email) != 0) {
    throw std::invalid_argument(member.email + " is already a member of staff");
  }
  const std::string today = Today();
  {
    Cursor insert = db_.Query(
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
  const std::int64_t seq = FindSeq(db_, member.email);
  write.Commit();
  return seq;
}

bool StaffDirectory::SetPassword(const std::string& email, const std::string& stored_password) {
  Transaction write(db_, Transaction::Kind::Write);
  {
    Cursor update = db_.Query(
        "UPDATE Personnel SET Password = ?2, PasswordChanged = ?3 WHERE Email = ?1");
    update->Bind(1, email);
    update->Bind(2, stored_password);
    update->Bind(3, Today());
    update->Step();
  }
  if (db_.Changes() == 0) return false;
  write.Commit();
  return true;
}

RemoveOutcome StaffDirectory::Remove(const std::string& email, std::int64_t& cases) {
  Transaction write(db_, Transaction::Kind::Write);
  const std::int64_t seq = FindSeq(db_, email);
  if (seq == 0) return RemoveOutcome::NotFound;
  {
    Cursor count = db_.Query("SELECT count(*) FROM Cases WHERE DoctorSeq = ?1");
    count->Bind(1, seq);
    count->Step();
    cases = count->Int(0);
  }
  // Cases keep their physician's Seq for the record; removing the member would orphan them.
  if (cases > 0) return RemoveOutcome::HasCases;
  {
    Cursor remove = db_.Query("DELETE FROM Personnel WHERE Seq = ?1");
    remove->Bind(1, seq);
    remove->Step();
  }
  write.Commit();
  return RemoveOutcome::Removed;
}

bool StaffDirectory::HasHashedPasswords() {
  Transaction read(db_, Transaction::Kind::Read);
  Cursor rows = db_.Query("SELECT Password FROM Personnel WHERE Password LIKE '$scrypt$%'");
  while (rows->Step()) {
    if (IsPasswordHash(rows->Text(0))) return true;
  }
  return false;
}

int StaffDirectory::HashClearPasswords() {
  std::vector<std::pair<std::int64_t, std::string>> clear;
  {
    Transaction read(db_, Transaction::Kind::Read);
    Cursor rows = db_.Query("SELECT Seq, Password FROM Personnel WHERE Password <> ''");
    while (rows->Step()) {
      std::string password = rows->Text(1);
      if (!IsPasswordHash(password)) clear.emplace_back(rows->Int(0), std::move(password));
    }
  }
  // Hashing takes a while per password: it happens outside the write transaction, which
  // then replaces only passwords that are still the ones hashed.
  std::vector<std::string> hashes;
  for (const auto& entry : clear) hashes.push_back(HashPassword(entry.second));
  // The clear texts must not live on in freed pages of the file or in the log beside it.
  db_.Execute("PRAGMA secure_delete = ON");
  Transaction write(db_, Transaction::Kind::Write);
  int replaced = 0;
  for (std::size_t i = 0; i < clear.size(); ++i) {
    Cursor update = db_.Query("UPDATE Personnel SET Password = ?3 WHERE Seq = ?1 AND Password = ?2");
    update->Bind(1, clear[i].first);
    update->Bind(2, clear[i].second);
    update->Bind(3, hashes[i]);
    update->Step();
    replaced += db_.Changes() > 0 ? 1 : 0;
  }
  write.Commit();
  // Best effort: a server reading at this moment keeps the log's old pages until it ends.
  db_.Execute("PRAGMA wal_checkpoint(TRUNCATE)");
  return replaced;
}
