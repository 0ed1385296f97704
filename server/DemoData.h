// The demo staff, cases and needs that `hospd --init-demo` puts into a new database.
#pragma once

#include <ctime>
#include <string>
#include <vector>

class Database;

struct DemoLogin {
  std::string email;
  std::string password;
  std::string description;
};

// Inserts the demo records in one transaction. Admission and discharge dates are set
// relative to `today` (local time), so that the list always looks current.
void LoadDemoData(Database& db, std::time_t today);

const std::vector<DemoLogin>& DemoLogins();
