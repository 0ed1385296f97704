// The members of staff in the "Personnel" table, as the administrator's commands see them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Database;

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

// Each change is committed before it returns, so a running server sees it with its next
// query. Storage failures throw DatabaseError; refused input throws std::invalid_argument.
class StaffDirectory {
 public:
  explicit StaffDirectory(Database& db) : db_(db) {}

  // Whether a member has the address (in any letter case).
  bool Has(const std::string& email);
  // Everyone, ordered by e-mail address.
  std::vector<StaffMember> List();
  // The new member's Seq. Refuses an address that is taken (in any letter case).
  std::int64_t Add(const NewStaffMember& member);
  // False when no member has the address.
  bool SetPassword(const std::string& email, const std::string& stored_password);
  // A member whose cases are still on record is not removed (`cases` gets their number).
  RemoveOutcome Remove(const std::string& email, std::int64_t& cases);

  // Whether any stored password is a hash: the database is then in hashed mode, which only
  // a server that checks logins itself can serve, and new passwords are stored hashed.
  bool HasHashedPasswords();
  // Replaces every stored clear password by its hash; empty ones (no login) stay empty.
  // Returns how many were replaced. A password changed meanwhile is left to its new value.
  int HashClearPasswords();

 private:
  Database& db_;
};

// Refuse (std::invalid_argument) an address without "@", with blanks at either end or with
// control characters, and empty names or names with control characters.
void CheckNewStaffMember(const NewStaffMember& member);
void CheckEmail(const std::string& email);
