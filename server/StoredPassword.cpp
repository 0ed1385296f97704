// How a password is kept in the "Personnel" table.
#include "StoredPassword.h"

std::string StoredPassword(std::string_view password) {
  return std::string(password);
}
