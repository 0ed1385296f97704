// The opt-in keys of section "Client" in "Hosp.ini": the idle lock and the case list's own
// refresh. Without them the client neither locks nor refreshes by itself.
#pragma once

#include <chrono>
#include <string>

#include "IniFile.h"

struct ClientSettings {
  // "LockAfterMinutes": the time without input after which the case list locks; 0: never.
  std::chrono::milliseconds LockAfter{0};
  // "RefreshMinutes": the time between two refreshes of the case list by itself; 0: never.
  std::chrono::milliseconds RefreshEvery{0};

  // Reads both keys from `ini`: a whole number of minutes from 1 to 10080 (a week); any other
  // value leaves its feature off. For tests, $HOSP_LOCK_AFTER_SECONDS and
  // $HOSP_REFRESH_SECONDS (seconds, fractions allowed) replace the time of a key that is set.
  static ClientSettings Read(const IniFile& ini);
  // The time a key's text gives, with the test variable `seconds_variable` applied; 0: off.
  static std::chrono::milliseconds Minutes(const std::string& text, const char* seconds_variable);
};
