// The sessions of hospd --require-login: opened by a right login, named by a random token,
// ended by disuse.
#include "login/Sessions.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace {

// 256 bits: far beyond guessing, even at many requests a second for years.
constexpr std::size_t kTokenBytes = 32;
// A session's last use is written at most this often (and at most an eighth of its idle
// time), so that busy sessions do not write at every request.
constexpr std::chrono::seconds kTouchEvery{60};

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace

Sessions::Sessions(std::unique_ptr<SessionTable> table, std::chrono::seconds idle)
    : table_(std::move(table)), idle_(idle) {}

std::string Sessions::Digest(std::string_view token) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest.data());
  return Hex(digest.data(), digest.size());
}

std::string Sessions::Open(const SessionOwner& owner) {
  std::array<unsigned char, kTokenBytes> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("no random bytes for a session token");
  }
  const std::string token = Hex(bytes.data(), bytes.size());
  table_->Add(Digest(token), owner, SessionTable::Clock::now());
  return token;
}

std::optional<SessionOwner> Sessions::Find(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const auto now = SessionTable::Clock::now();
  const auto touch = std::min<std::chrono::seconds>(kTouchEvery, idle_ / 8);
  return table_->Use(Digest(token), now, now - idle_, now - touch);
}
