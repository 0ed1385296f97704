// The members of staff in the "Personnel" table, as the administrator's commands see them,
// whichever database holds them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct StaffMember {
  std::int64_t seq = 0;
  std::string email;
  std::string title;
  std::string first_name;
  std::string last_name;
  std::string role;
  std::string physician_mark;
  std::string active;
};

struct NewStaffMember {
  std::string email;
  std::string first_name;
  std::string last_name;
  std::string title;
  bool physician = false;
  std::string stored_password;  // already in its stored form (StoredPassword)
};

enum class RemoveOutcome { Removed, NotFound, HasCases };

// A stored password and the member it belongs to.
struct StoredLogin {
  std::int64_t seq = 0;
  std::string password;
};

// Each change is committed before it returns, so a running server sees it with its next
// query. Storage failures throw DatabaseError; refused input throws std::invalid_argument.
// Works over one database connection of its own: one user at a time.
class StaffDirectory {
 public:
  virtual ~StaffDirectory() = default;

  // Whether a member has the address (in any letter case).
  virtual bool Has(const std::string& email) = 0;
  // Everyone, ordered by e-mail address.
  virtual std::vector<StaffMember> List() = 0;
  // The new member's Seq. Refuses an address that is taken (in any letter case).
  virtual std::int64_t Add(const NewStaffMember& member) = 0;
  // False when no member has the address.
  virtual bool SetPassword(const std::string& email, const std::string& stored_password) = 0;
  // A member whose cases are still on record is not removed (`cases` gets their number).
  virtual RemoveOutcome Remove(const std::string& email, std::int64_t& cases) = 0;

  // Whether any stored password is a hash: the database is then in hashed mode, which only
  // a server that checks logins itself can serve, and new passwords are stored hashed.
  bool HasHashedPasswords();
  // Replaces every stored clear password by its hash; empty ones (no login) stay empty.
  // Returns how many were replaced. A password changed meanwhile is left to its new value.
  int HashClearPasswords();

 protected:
  // The stored passwords that begin with `prefix` (every one for an empty prefix) and are
  // not empty.
  virtual std::vector<StoredLogin> StoredPasswords(const std::string& prefix) = 0;
  // Sets each member's password to `replacement` where it is still `password`, in one
  // transaction, and forgets the old texts as far as the database can; returns how many
  // were set.
  virtual int ReplacePasswords(
      const std::vector<std::pair<StoredLogin, std::string>>& replacements) = 0;

  // YYYYMMDD in local time, the form of the table's date columns.
  static std::string Today();
};

// Refuse (std::invalid_argument) an address without "@", with blanks at either end or with
// control characters, and empty names or names with control characters.
void CheckNewStaffMember(const NewStaffMember& member);
void CheckEmail(const std::string& email);
