// How a password is kept in the "Personnel" table.
#pragma once

#include <string>
#include <string_view>

// The text stored in "Password" for a password an administrator sets: its salted hash when
// `hashed` (a database served with --server-login, where the server checks logins itself),
// otherwise the password itself, which a server without --server-login hands to the client
// to compare with what the physician types.
std::string StoredPassword(std::string_view password, bool hashed);
