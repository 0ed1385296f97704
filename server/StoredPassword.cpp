// How a password is kept in the "Personnel" table.
#include "StoredPassword.h"

#include "PasswordHash.h"

std::string StoredPassword(std::string_view password, bool hashed) {
  return hashed ? HashPassword(password) : std::string(password);
}
