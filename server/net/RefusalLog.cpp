// The log lines of refused connections: at most one per client address and minute, however
// many connections that address keeps opening.
#include "net/RefusalLog.h"

#include <iterator>

#include "Log.h"

namespace {
constexpr auto kInterval = std::chrono::minutes(1);
// Past this many remembered addresses, those whose minute is over are forgotten, so that a
// flood from many addresses cannot grow the map without end (their counts go with them).
constexpr std::size_t kRemembered = 1024;
}  // namespace

void RefusalLog::Refused(const std::string& address, const std::string& line) {
  const Clock::time_point now = Clock::now();
  const auto found = addresses_.find(address);
  if (found != addresses_.end() && now - found->second.logged < kInterval) {
    ++found->second.unlogged;
    return;
  }
  const int unlogged = found != addresses_.end() ? found->second.unlogged : 0;
  LogLine(LogPriority::Warning, unlogged == 0 ? line
                        : line + " (and " + std::to_string(unlogged) +
                              " more from this address since its last such line)");
  if (addresses_.size() >= kRemembered) ForgetOld(now);
  addresses_[address] = Quiet{now, 0};
}

void RefusalLog::ForgetOld(Clock::time_point now) {
  for (auto at = addresses_.begin(); at != addresses_.end();) {
    at = now - at->second.logged >= kInterval ? addresses_.erase(at) : std::next(at);
  }
}
