// Salted scrypt hashes of staff passwords, in a text form that names its own parameters.
#include "login/PasswordHash.h"

#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <thread>
#include <vector>

#include "OpenSslOwners.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr std::string_view kPrefix = "$scrypt$";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const Bytes& bytes) {
  std::string text;
  unsigned bits = 0;
  int held = 0;
  for (const unsigned char byte : bytes) {
    bits = (bits << 8) | byte;
    held += 8;
    while (held >= 6) {
      held -= 6;
      text += kBase64[(bits >> held) & 0x3F];
    }
  }
  if (held > 0) text += kBase64[(bits << (6 - held)) & 0x3F];
  return text;
}

std::optional<Bytes> FromBase64(std::string_view text) {
  Bytes bytes;
  unsigned bits = 0;
  int held = 0;
  for (const char c : text) {
    const auto at = kBase64.find(c);
    if (at == std::string_view::npos) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(at);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes.push_back(static_cast<unsigned char>((bits >> held) & 0xFF));
    }
  }
  // Leftover bits must be zero padding of the last character, or the text was not ours.
  if (held >= 6 || (bits & ((1u << held) - 1)) != 0) return std::nullopt;
  return bytes;
}

struct ParsedHash {
  ScryptCost cost;
  Bytes salt;
  Bytes hash;
};

// Parameters beyond these would let one stored text take seconds or gigabytes per login.
bool Acceptable(const ScryptCost& cost) {
  return cost.log2_n >= 1 && cost.log2_n <= 20 && cost.r >= 1 && cost.r <= 32 && cost.p >= 1 &&
         cost.p <= 16 && (std::uint64_t{128} * cost.r << cost.log2_n) <= (std::uint64_t{1} << 30);
}

// "name=number" at the front of `text`, which then starts after it (and after one `separator`).
std::optional<int> TakeNumber(std::string_view& text, std::string_view name, char separator) {
  if (text.substr(0, name.size()) != name || text.size() <= name.size() ||
      text[name.size()] != '=') {
    return std::nullopt;
  }
  text.remove_prefix(name.size() + 1);
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() || end == text.data() + text.size() ||
      *end != separator) {
    return std::nullopt;
  }
  text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
  return value;
}

std::optional<ParsedHash> Parse(std::string_view stored) {
  if (stored.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view rest = stored.substr(kPrefix.size());
  ParsedHash parsed;
  const auto ln = TakeNumber(rest, "ln", ',');
  const auto r = ln ? TakeNumber(rest, "r", ',') : std::nullopt;
  const auto p = r ? TakeNumber(rest, "p", '$') : std::nullopt;
  if (!p) return std::nullopt;
  parsed.cost = {*ln, *r, *p};
  const auto dollar = rest.find('$');
  if (!Acceptable(parsed.cost) || dollar == std::string_view::npos) return std::nullopt;
  auto salt = FromBase64(rest.substr(0, dollar));
  auto hash = FromBase64(rest.substr(dollar + 1));
  if (!salt || !hash || salt->size() < 8 || salt->size() > 64 || hash->size() < 16 ||
      hash->size() > 64) {
    return std::nullopt;
  }
  parsed.salt = std::move(*salt);
  parsed.hash = std::move(*hash);
  return parsed;
}

// Each hash holds 128 * r * N bytes for its whole run: many logins at once must not add up
// to more memory than the machine has, so they take turns, a few per core.
std::counting_semaphore<1024>& HashSlots() {
  static std::counting_semaphore<1024> slots(
      static_cast<std::ptrdiff_t>(std::clamp(2 * std::thread::hardware_concurrency(), 2u, 64u)));
  return slots;
}

Bytes Derive(std::string_view password, const Bytes& salt, const ScryptCost& cost,
             std::size_t length) {
  const KdfPointer kdf(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr));
  const KdfContextPointer context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
  if (!context) throw std::runtime_error("OpenSSL offers no SCRYPT key derivation");
  std::uint64_t n = std::uint64_t{1} << cost.log2_n;
  std::uint32_t r = static_cast<std::uint32_t>(cost.r);
  std::uint32_t p = static_cast<std::uint32_t>(cost.p);
  std::uint64_t max_memory = std::uint64_t{256} * r * n * p + (std::uint64_t{1} << 20);
  std::string pass(password);  // OpenSSL wants a writable buffer, though it does not write
  Bytes salt_copy = salt;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string("pass", pass.data(), pass.size()),
      OSSL_PARAM_construct_octet_string("salt", salt_copy.data(), salt_copy.size()),
      OSSL_PARAM_construct_uint64("n", &n),
      OSSL_PARAM_construct_uint32("r", &r),
      OSSL_PARAM_construct_uint32("p", &p),
      OSSL_PARAM_construct_uint64("maxmem_bytes", &max_memory),
      OSSL_PARAM_construct_end()};
  Bytes out(length);
  HashSlots().acquire();
  const int derived = EVP_KDF_derive(context.get(), out.data(), out.size(), params);
  HashSlots().release();
  OPENSSL_cleanse(pass.data(), pass.size());
  if (derived != 1) throw std::runtime_error("scrypt key derivation failed");
  return out;
}

std::string Format(const ScryptCost& cost, const Bytes& salt, const Bytes& hash) {
  return std::string(kPrefix) + "ln=" + std::to_string(cost.log2_n) +
         ",r=" + std::to_string(cost.r) + ",p=" + std::to_string(cost.p) + "$" + Base64(salt) +
         "$" + Base64(hash);
}

// A hash of a random password, made once: checks against it cost what a real check costs.
const std::string& DummyHash() {
  static const std::string dummy = [] {
    Bytes random(kSaltBytes);
    RAND_bytes(random.data(), static_cast<int>(random.size()));
    return HashPassword(Base64(random));
  }();
  return dummy;
}

}  // namespace

std::string HashPassword(std::string_view password, const ScryptCost& cost) {
  if (!Acceptable(cost)) throw std::runtime_error("scrypt parameters out of range");
  Bytes salt(kSaltBytes);
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) {
    throw std::runtime_error("no random salt from OpenSSL");
  }
  return Format(cost, salt, Derive(password, salt, cost, kHashBytes));
}

bool IsPasswordHash(std::string_view stored) { return Parse(stored).has_value(); }

bool VerifyPassword(std::string_view password, std::string_view stored) {
  const auto parsed = Parse(stored);
  if (!parsed) return false;
  const Bytes derived = Derive(password, parsed->salt, parsed->cost, parsed->hash.size());
  return CRYPTO_memcmp(derived.data(), parsed->hash.data(), derived.size()) == 0;
}

void VerifyNothing(std::string_view password) { (void)VerifyPassword(password, DummyHash()); }

bool LoginPasswordMatches(const std::optional<std::string>& typed,
                          const std::optional<std::string>& stored) {
  const std::string_view password = typed ? std::string_view(*typed) : std::string_view();
  if (stored && IsPasswordHash(*stored)) {
    return VerifyPassword(password, *stored) && !password.empty();
  }
  VerifyNothing(password);
  if (!typed || !stored || password.empty() || stored->size() != password.size()) return false;
  return CRYPTO_memcmp(stored->data(), password.data(), password.size()) == 0;
}
