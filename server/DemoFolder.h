// `hospd --init-demo` and `hospd init`: a new data folder with its database (demo data or
// none), certificate and client folder.
#pragma once

#include <filesystem>
#include <iosfwd>

// Creates `folder` (if missing) with hosp.db, server.crt, server.key and an empty Clients
// folder, and writes the demo logins to `out`. Refuses (std::runtime_error) when hosp.db
// exists; an existing certificate and key pair is kept.
// With `hashed_passwords`, the demo passwords are stored as hashes (for --server-login).
void InitDemoFolder(const std::filesystem::path& folder, std::ostream& out,
                    bool hashed_passwords = false);

// The same for production: the tables without any records, no logins printed.
void InitDataFolder(const std::filesystem::path& folder, std::ostream& out);
