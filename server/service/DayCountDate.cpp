// The handshake's "Date": local days since 30 December 1899, the time of day as the fraction.
#include "service/DayCountDate.h"

#include <charconv>
#include <ctime>

namespace {

// Days from 1 January 1970 to the given civil date (proleptic Gregorian calendar).
long DaysFromCivil(long year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<long>(day_of_era) - 719468;
}

}  // namespace

double DayCountDate(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto sub_second = when - std::chrono::system_clock::from_time_t(seconds);
  std::tm local{};
  localtime_r(&seconds, &local);
  const long days = DaysFromCivil(local.tm_year + 1900L, static_cast<unsigned>(local.tm_mon + 1),
                                  static_cast<unsigned>(local.tm_mday)) -
                    DaysFromCivil(1899, 12, 30);
  const double second_of_day = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                               std::chrono::duration<double>(sub_second).count();
  return static_cast<double>(days) + second_of_day / 86400.0;
}

std::string DayCountDateText(std::chrono::system_clock::time_point when) {
  char text[64];
  const auto result =
      std::to_chars(text, text + sizeof text, DayCountDate(when), std::chars_format::fixed, 8);
  return std::string(text, result.ptr);
}
