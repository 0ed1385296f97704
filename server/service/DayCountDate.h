// The handshake's "Date": local days since 30 December 1899, the time of day as the fraction.
#pragma once

#include <chrono>
#include <string>

double DayCountDate(std::chrono::system_clock::time_point when);

// The value as decimal text with a full stop and eight decimals, whatever the locale.
std::string DayCountDateText(std::chrono::system_clock::time_point when);
