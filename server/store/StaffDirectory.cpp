// The members of staff in the "Personnel" table, as the administrator's commands see them,
// whichever database holds them.
#include "store/StaffDirectory.h"

#include <ctime>
#include <stdexcept>

#include "login/PasswordHash.h"

namespace {

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) return true;
  }
  return false;
}

void CheckStaffText(const std::string& what, const std::string& text, bool required) {
  if (required && text.empty()) throw std::invalid_argument(what + " may not be empty");
  if (HasControlCharacter(text)) throw std::invalid_argument(what + " holds a control character");
}

// What every hash begins with; the rest is checked by IsPasswordHash.
constexpr const char* kHashPrefix = "$scrypt$";

}  // namespace

std::string StaffDirectory::Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[16] = {};
  std::strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

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

bool StaffDirectory::HasHashedPasswords() {
  for (const StoredLogin& login : StoredPasswords(kHashPrefix)) {
    if (IsPasswordHash(login.password)) return true;
  }
  return false;
}

// Hashing takes a while per password: it happens before the write transaction, which then
// replaces only passwords that are still the ones hashed.
int StaffDirectory::HashClearPasswords() {
  std::vector<std::pair<StoredLogin, std::string>> replacements;
  for (StoredLogin& login : StoredPasswords("")) {
    if (IsPasswordHash(login.password)) continue;
    std::string hash = HashPassword(login.password);
    replacements.emplace_back(std::move(login), std::move(hash));
  }
  return replacements.empty() ? 0 : ReplacePasswords(replacements);
}
