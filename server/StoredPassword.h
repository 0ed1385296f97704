// How a password is kept in the "Personnel" table.
#pragma once

#include <string>
#include <string_view>

// The text stored in "Password" for a password an administrator sets. The client compares
// the stored text with what the physician types, so today it is the password itself; this is
// the one place that changes when the server checks logins itself.
std::string StoredPassword(std::string_view password);
