// `hospd check`: what an administrator needs to know about a data folder before serving it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct FolderReport {
  std::vector<std::string> facts;     // what was found, one line each
  std::vector<std::string> problems;  // what would stop or mislead the servers, one line each
};

// Looks at the certificate and key (readable, matching, valid now, key not readable by
// others), the database (opens, passes quick_check, schema version and tables) and the
// Clients folder (each build with its size and date, as the data server would offer it).
// Changes nothing.
FolderReport CheckDataFolder(const std::filesystem::path& folder);
