// The demo staff, cases and needs that `hospd --init-demo` puts into a new database.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

struct DemoLogin {
  std::string email;
  std::string password;
  std::string description;
};

// The rows of a new demo database, every value as text, for any store to insert.
struct DemoRecords {
  std::vector<std::vector<std::string>> people;  // PersonnelTable().record_columns
  std::vector<std::vector<std::string>> cases;   // CasesTable().record_columns
  std::vector<std::vector<std::string>> needs;   // DemoNeedColumns()
};

// The demo staff, cases and needs. Admission and discharge dates are set relative to
// `today` (local time), so that the list always looks current.
DemoRecords MakeDemoRecords(std::time_t today);

// The columns of a need row in DemoRecords: its case, then the three texts.
const std::vector<std::string_view>& DemoNeedColumns();

const std::vector<DemoLogin>& DemoLogins();
