// The reformatting of a case's discharge date.
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"

#include "TForm1.h"

namespace {

struct DateCase {
  const char* name;
  const char* input;
  const char* expected;
};

void PrintTo(const DateCase& row, std::ostream* out) { *out << row.name; }

class FormatCaseDateTest : public ::testing::TestWithParam<DateCase> {};

// Year, month and day pieces become month/day/year; a text with a slash stays as it is.
TEST_P(FormatCaseDateTest, ReformatsYearMonthDay) {
  EXPECT_EQ(TForm1::FormatCaseDate(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FormatCaseDateTest,
                         ::testing::Values(DateCase{"EightDigits", "20240131", "01/31/2024"},
                                           DateCase{"AlreadyFormatted", "01/31/2024", "01/31/2024"},
                                           DateCase{"SlashAnywhere", "2024013/", "2024013/"},
                                           DateCase{"Empty", "", "//"},
                                           DateCase{"YearOnly", "2024", "//2024"},
                                           DateCase{"YearAndMonth", "202401", "01//2024"},
                                           DateCase{"MonthCutShort", "20240", "0//2024"},
                                           DateCase{"DayCutShort", "2024013", "01/3/2024"},
                                           DateCase{"TimeDropped", "20240131093000", "01/31/2024"},
                                           DateCase{"NotDigits", "abcdefgh", "ef/gh/abcd"}),
                         RowName());

}  // namespace
