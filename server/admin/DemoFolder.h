// `hospd --init-demo` and `hospd init`: a new data folder with its database (demo data or
// none), certificate and client folder.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

#include "admin/Certificate.h"

// Creates `folder` (if missing) with server.crt, server.key, audit.key and an empty Clients folder,
// fills the demo database and writes the demo logins to `out`. Without `database`, the
// database is a new hosp.db in the folder; refuses (std::runtime_error) when hosp.db exists.
// With a PostgreSQL `database`, its schema is created or upgraded and the demo data loaded;
// refuses (DatabaseError) when it holds staff already. An existing certificate and key
// pair is kept. With `hashed_passwords`, the demo passwords are stored as hashes (for
// --server-login).
void InitDemoFolder(const std::filesystem::path& folder, std::ostream& out,
                    const std::string& database = {}, bool hashed_passwords = false);

// The same for production, in hosp.db: the tables without any records, no logins printed; a
// new certificate is valid for `certificate_days`.
void InitDataFolder(const std::filesystem::path& folder, std::ostream& out,
                    int certificate_days = kCertificateDays);
