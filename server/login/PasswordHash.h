// Salted scrypt hashes of staff passwords, in a text form that names its own parameters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The cost of one hash: N = 2^log2_n, block size r, parallelism p. The default takes about
// 50 ms of one core (measured on the reference machine) and 16 MiB of memory.
struct ScryptCost {
  int log2_n = 14;
  int r = 8;
  int p = 1;
};

// "$scrypt$ln=14,r=8,p=1$SALT$HASH" with a new random 16-byte salt and a 32-byte hash, both
// in base64 without padding. Throws std::runtime_error when OpenSSL cannot derive it.
std::string HashPassword(std::string_view password, const ScryptCost& cost = ScryptCost());

// Whether `stored` is a hash in the form above (with parameters this server accepts), as
// opposed to a password kept in clear.
bool IsPasswordHash(std::string_view stored);

// Whether `password` is the one `stored` was made from. A stored text that is no hash never
// matches. Takes the time of one hash of `stored`'s cost.
bool VerifyPassword(std::string_view password, std::string_view stored);

// Spends the time of one check at the default cost and matches nothing: what a login for an
// unknown address does, so that its answer comes as late as any other refusal's.
void VerifyNothing(std::string_view password);

// A login's password check, taking the time of one hash at the default cost whatever it is
// given, so that its answer tells nothing about which addresses exist. `stored` is the
// record's stored password (a hash, or a clear one kept for older clients) or nothing for
// an unknown address; `typed` is nothing when the query carried no password. An empty
// password, typed or stored, never matches.
bool LoginPasswordMatches(const std::optional<std::string>& typed,
                          const std::optional<std::string>& stored);
