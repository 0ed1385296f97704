// The members of staff in a PostgreSQL database.
#include "store/postgres/PostgresStaffDirectory.h"

#include <stdexcept>

namespace {

// Addresses match without regard to the letter case of A to Z, as the login's lookup and
// the unique index on lower(Email) have it.
constexpr const char* kByEmail = "lower(Email) = lower($1 COLLATE \"C\")";

}  // namespace

std::int64_t PostgresStaffDirectory::FindSeq(const std::string& email) {
  const PgResult rows =
      db_->Query(std::string("SELECT Seq FROM Personnel WHERE ") + kByEmail, {email});
  return rows.Rows() == 0 ? 0 : std::stoll(rows.Text(0, 0));
}

bool PostgresStaffDirectory::Has(const std::string& email) { return FindSeq(email) != 0; }

std::vector<StaffMember> PostgresStaffDirectory::List() {
  const PgResult rows = db_->Query(
      "SELECT Seq, Email, Title, FirstName, LastName, Role, PhysicianMark, Active "
      "FROM Personnel ORDER BY lower(Email), Seq");
  std::vector<StaffMember> members;
  for (int row = 0; row < rows.Rows(); ++row) {
    members.push_back({std::stoll(rows.Text(row, 0)), rows.Text(row, 1), rows.Text(row, 2),
                       rows.Text(row, 3), rows.Text(row, 4), rows.Text(row, 5), rows.Text(row, 6),
                       rows.Text(row, 7)});
  }
  return members;
}

std::int64_t PostgresStaffDirectory::Add(const NewStaffMember& member) {
  CheckNewStaffMember(member);
  PgTransaction write(*db_);
  // Two additions of one address at once: the second waits here and then finds the first.
  db_->Execute("LOCK TABLE Personnel IN SHARE ROW EXCLUSIVE MODE");
  if (FindSeq(member.email) != 0) {
    throw std::invalid_argument(member.email + " is already a member of staff");
  }
  const PgResult inserted = db_->Query(
      "INSERT INTO Personnel (Email, Title, FirstName, LastName, Password, PasswordChanged, "
      "StartDate, Active, Role, PhysicianMark) VALUES ($1, $2, $3, $4, $5, $6, $6, 'Y', $7, $8) "
      "RETURNING Seq",
      {member.email, member.title, member.first_name, member.last_name, member.stored_password,
       Today(), member.physician ? "Physician" : "", member.physician ? "Y" : "N"});
  write.Commit();
  return std::stoll(inserted.Text(0, 0));
}

bool PostgresStaffDirectory::SetPassword(const std::string& email,
                                         const std::string& stored_password) {
  const PgResult updated = db_->Query(
      std::string("UPDATE Personnel SET Password = $2, PasswordChanged = $3 WHERE ") + kByEmail,
      {email, stored_password, Today()});
  return updated.Affected() > 0;
}

RemoveOutcome PostgresStaffDirectory::Remove(const std::string& email, std::int64_t& cases) {
  PgTransaction write(*db_);
  const std::int64_t seq = FindSeq(email);
  if (seq == 0) return RemoveOutcome::NotFound;
  cases = std::stoll(
      db_->Query("SELECT count(*) FROM Cases WHERE DoctorSeq = $1", {std::to_string(seq)})
          .Text(0, 0));
  // Cases keep their physician's Seq for the record; removing the member would orphan them.
  if (cases > 0) return RemoveOutcome::HasCases;
  db_->Query("DELETE FROM Personnel WHERE Seq = $1", {std::to_string(seq)});
  write.Commit();
  return RemoveOutcome::Removed;
}

std::vector<StoredLogin> PostgresStaffDirectory::StoredPasswords(const std::string& prefix) {
  const PgResult rows = db_->Query(
      "SELECT Seq, Password FROM Personnel WHERE Password <> '' AND "
      "left(Password, length($1)) = $1 COLLATE \"C\"",
      {prefix});
  std::vector<StoredLogin> logins;
  for (int row = 0; row < rows.Rows(); ++row) {
    logins.push_back({std::stoll(rows.Text(row, 0)), rows.Text(row, 1)});
  }
  return logins;
}

int PostgresStaffDirectory::ReplacePasswords(
    const std::vector<std::pair<StoredLogin, std::string>>& replacements) {
  PgTransaction write(*db_);
  int replaced = 0;
  for (const auto& [old, replacement] : replacements) {
    replaced += static_cast<int>(
        db_->Query("UPDATE Personnel SET Password = $3 WHERE Seq = $1 AND Password = $2",
                   {std::to_string(old.seq), old.password, replacement})
            .Affected());
  }
  write.Commit();
  // The old row versions, clear passwords included, go at once rather than at the next
  // automatic vacuum (the database's own log keeps them until it is recycled).
  db_->Execute("VACUUM Personnel");
  return replaced;
}
