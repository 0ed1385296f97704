// Slows down the guessing of passwords: answers to logins that keep failing, for one e-mail
// address or from one client address, come later and later.
#include "login/LoginThrottle.h"

#include <algorithm>

namespace {

// No e-mail address is longer; a request's key may be, and must not fill the memory.
constexpr std::size_t kLongestEmail = 320;

// The lookup of an address ignores ASCII case, so its failures must count together too.
std::string EmailKey(std::string_view email) {
  std::string key = "email:";
  for (const char c : email.substr(0, kLongestEmail)) {
    key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return key;
}

std::string AddressKey(std::string_view address) {
  return "address:" + std::string(address);
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

LoginThrottle::Verdict LoginThrottle::Judge(std::string_view email, std::string_view address) {
  const auto since = FailureCounters::Clock::now() - settings_.window;
  Verdict verdict;
  verdict.email_failures = counters_->Failures(EmailKey(email), since);
  verdict.address_failures = counters_->Failures(AddressKey(address), since);
  verdict.delay = std::max(DelayAfter(verdict.email_failures, settings_.email_limit),
                           DelayAfter(verdict.address_failures, settings_.address_limit));
  return verdict;
}

void LoginThrottle::Failed(std::string_view email, std::string_view address) {
  const auto now = FailureCounters::Clock::now();
  const auto since = now - settings_.window;
  counters_->AddFailure(EmailKey(email), now, since);
  counters_->AddFailure(AddressKey(address), now, since);
}

void LoginThrottle::Succeeded(std::string_view email) {
  counters_->Clear(EmailKey(email));
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
