// The sessions of hospd --require-login: opened by a right login, named by a random token,
// ended by disuse.
#include "login/Sessions.h"

#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "HexText.h"

namespace {

// 256 bits: far beyond guessing, even at many requests a second for years.
constexpr std::size_t kTokenBytes = 32;
// A session's last use is written at most this often (and at most an eighth of its idle
// time), so that busy sessions do not write at every request.
constexpr std::chrono::seconds kTouchEvery{60};
// Sessions remembered at most; beyond that, the oldest finds are looked up again.
constexpr std::size_t kRemembered = 4096;

}  // namespace

Sessions::Sessions(std::unique_ptr<SessionTable> table, std::chrono::seconds idle)
    : table_(std::move(table)), idle_(idle) {}

std::string Sessions::Digest(std::string_view token) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
  SHA256(reinterpret_cast<const unsigned char*>(token.data()), token.size(), digest.data());
  return HexText({reinterpret_cast<const char*>(digest.data()), digest.size()});
}

std::string Sessions::Open(const SessionOwner& owner) {
  std::array<unsigned char, kTokenBytes> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    throw std::runtime_error("no random bytes for a session token");
  }
  const std::string token = HexText({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  table_->Add(Digest(token), owner, SessionTable::Clock::now());
  return token;
}

std::chrono::seconds Sessions::TouchEvery() const {
  return std::min<std::chrono::seconds>(kTouchEvery, idle_ / 8);
}

std::optional<SessionOwner> Sessions::Find(std::string_view token) {
  if (token.empty()) return std::nullopt;
  const auto now = SessionTable::Clock::now();
  const std::string digest = Digest(token);
  if (auto owner = Remembered(digest, now)) return owner;
  auto owner = table_->Use(digest, now, now - idle_, now - TouchEvery());
  if (owner) Remember(digest, *owner, now);
  return owner;
}

std::optional<SessionOwner> Sessions::Remembered(const std::string& digest,
                                                 SessionTable::Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  const auto found = recent_.find(digest);
  if (found == recent_.end()) return std::nullopt;
  if (now - found->second.found < TouchEvery()) return found->second.owner;
  recent_.erase(found);
  return std::nullopt;
}

// What is older than the time a use may go unwritten is dropped as the memory fills.
void Sessions::Remember(const std::string& digest, const SessionOwner& owner,
                        SessionTable::Clock::time_point now) {
  const std::lock_guard lock(mutex_);
  if (recent_.size() >= kRemembered) {
    std::erase_if(recent_,
                  [&](const auto& entry) { return now - entry.second.found >= TouchEvery(); });
    if (recent_.size() >= kRemembered) recent_.clear();
  }
  recent_[digest] = Recent{owner, now};
}
