// How a password is kept in the "Personnel" table.
#include "login/StoredPassword.h"

#include "login/PasswordHash.h"

std::string StoredPassword(std::string_view password, bool hashed) {
  return hashed ? HashPassword(password) : std::string(password);
}
