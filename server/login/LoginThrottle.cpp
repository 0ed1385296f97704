// Slows down the guessing of passwords: answers to logins that keep failing, for one e-mail
// address from one client address, from one client address, or for one e-mail address from
// everywhere, come later and later, however many connections send them at once.
#include "login/LoginThrottle.h"

#include <algorithm>

namespace {

using Clock = FailureCounters::Clock;

// No e-mail address is longer; a request's key may be, and must not fill the memory.
constexpr std::size_t kLongestEmail = 320;

// The keys' order in Attempt::keys and in the counts.
enum KeyIndex { kPair, kAddress, kEmail };

// The lookup of an address ignores ASCII case, so its failures must count together too.
std::string FoldedEmail(std::string_view email) {
  std::string folded;
  for (const char c : email.substr(0, kLongestEmail)) {
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded;
}

// A client address holds no space, so the pair's key cannot be read two ways.
std::vector<std::string> Keys(std::string_view email, std::string_view address) {
  const std::string folded = FoldedEmail(email);
  return {"pair:" + std::string(address) + " " + folded, "address:" + std::string(address),
          "email:" + folded};
}

}  // namespace

LoginThrottle::LoginThrottle(ThrottleSettings settings, std::unique_ptr<FailureCounters> counters)
    : settings_(settings), counters_(std::move(counters)) {}

std::chrono::milliseconds LoginThrottle::DelayAfter(int failures, int limit) const {
  if (failures < limit) return std::chrono::milliseconds(0);
  auto delay = settings_.first_delay;
  for (int i = limit; i < failures && delay < settings_.max_delay; ++i) delay *= 2;
  return std::min(delay, settings_.max_delay);
}

// A throttled key's attempts are answered in turn: each after the latest one noted, as a
// client that waited for each answer would have sent them. The account's ceiling only
// delays: queued behind an attacker's attempts, its owner could never log in.
Clock::time_point LoginThrottle::AnswerTime(const std::vector<FailureCounters::KeyCount>& counts,
                                            Clock::time_point now) const {
  Clock::time_point at = now;
  const auto in_turn = [&](const FailureCounters::KeyCount& count, int limit) {
    const auto delay = DelayAfter(count.attempts, limit);
    if (delay.count() > 0) at = std::max(at, std::max(now, count.latest) + delay);
  };
  in_turn(counts[kPair], settings_.pair_limit);
  in_turn(counts[kAddress], settings_.address_limit);
  if (counts[kEmail].answered >= settings_.account_limit) {
    at = std::max(at, now + settings_.account_delay);
  }
  return at;
}

LoginThrottle::Attempt LoginThrottle::Admit(std::string_view email, std::string_view address) {
  Attempt attempt;
  attempt.keys = Keys(email, address);
  const auto now = Clock::now();
  attempt.answer_at = counters_->Admit(attempt.keys, now, now - settings_.window,
                                       [&](const std::vector<FailureCounters::KeyCount>& counts) {
                                         attempt.pair_failures = counts[kPair].attempts;
                                         attempt.address_failures = counts[kAddress].attempts;
                                         attempt.account_failures = counts[kEmail].answered;
                                         return AnswerTime(counts, now);
                                       });
  attempt.delay = std::chrono::ceil<std::chrono::milliseconds>(attempt.answer_at - now);
  ++admitted_;
  if (attempt.delay.count() > 0) ++throttled_;
  return attempt;
}

void LoginThrottle::Succeeded(const Attempt& attempt) {
  counters_->Withdraw(attempt.keys, attempt.answer_at, attempt.keys[kPair]);
  ++succeeded_;
}

bool LoginThrottle::Wait(std::chrono::milliseconds delay) {
  std::unique_lock lock(stop_mutex_);
  return !stop_signal_.wait_for(lock, delay, [this] { return stopping_; });
}

void LoginThrottle::Stop() {
  {
    const std::lock_guard lock(stop_mutex_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
}
