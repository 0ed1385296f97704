// The opt-in keys of section "Client" in "Hosp.ini": the idle lock and the case list's own
// refresh.
#include "ClientSettings.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace {

constexpr long kMostMinutes = 7 * 24 * 60;  // QTimer counts in int milliseconds: keep well below

// A whole number of minutes in range, or 0.
long WholeMinutes(const std::string& text) {
  long minutes = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, minutes);
  if (error != std::errc() || stop != end || minutes < 1 || minutes > kMostMinutes) return 0;
  return minutes;
}

// The seconds in $`name` as milliseconds, or 0 when it is unset or not a positive number.
long long TestSeconds(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  char* stop = nullptr;
  const double seconds = std::strtod(text, &stop);
  if (*stop != '\0' || !(seconds > 0) || seconds > kMostMinutes * 60.0) return 0;
  return std::max(1LL, static_cast<long long>(seconds * 1000 + 0.5));
}

}  // namespace

ClientSettings ClientSettings::Read(const IniFile& ini) {
  ClientSettings settings;
  settings.LockAfter = Minutes(ini.Read("Client", "LockAfterMinutes"), "HOSP_LOCK_AFTER_SECONDS");
  settings.RefreshEvery = Minutes(ini.Read("Client", "RefreshMinutes"), "HOSP_REFRESH_SECONDS");
  return settings;
}

std::chrono::milliseconds ClientSettings::Minutes(const std::string& text,
                                                  const char* seconds_variable) {
  const long minutes = WholeMinutes(text);
  if (minutes == 0) return std::chrono::milliseconds(0);
  if (const long long test = TestSeconds(seconds_variable); test > 0) {
    return std::chrono::milliseconds(test);
  }
  return std::chrono::minutes(minutes);
}
