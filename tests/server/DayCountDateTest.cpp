// The handshake's date value: local days since 30 December 1899 with the time as fraction.
#include <gtest/gtest.h>

#include <chrono>

#include "TestFiles.h"
#include "service/DayCountDate.h"

namespace {

std::chrono::system_clock::time_point LocalClock(int year, int month, int day, int hour,
                                                 int minute) {
  return std::chrono::system_clock::from_time_t(LocalTime(year, month, day, hour, minute));
}

}  // namespace

// Known dates give the day counts that spreadsheet-style date values have.
TEST(DayCountDateTest, KnownDates) {
  struct Row {
    int year, month, day, hour, minute;
    double expected;
  };
  const Row rows[] = {
      {1899, 12, 31, 0, 0, 1.0},   {1900, 3, 1, 6, 0, 61.25},      {2000, 2, 29, 18, 0, 36585.75},
      {2024, 1, 1, 0, 0, 45292.0}, {2024, 12, 31, 12, 0, 45657.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.year);
    EXPECT_NEAR(DayCountDate(LocalClock(row.year, row.month, row.day, row.hour, row.minute)),
                row.expected, 1e-9);
  }
}

// The text has a full stop and eight decimals, whatever the process locale.
TEST(DayCountDateTest, TextForm) {
  EXPECT_EQ(DayCountDateText(LocalClock(2024, 1, 1, 12, 0)), "45292.50000000");
}
