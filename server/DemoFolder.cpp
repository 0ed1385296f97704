// `hospd --init-demo` and `hospd init`: a new data folder with its database (demo data or
// none), certificate and client folder.
#include "DemoFolder.h"

#include <unistd.h>

#include <ctime>
#include <ostream>
#include <stdexcept>

#include "Certificate.h"
#include "Database.h"
#include "DemoData.h"
#include "Schema.h"
#include "StaffDirectory.h"

namespace fs = std::filesystem;

namespace {

// The database is built under a temporary name and linked into place, so that a failed or
// concurrent initialisation never leaves a half-filled hosp.db or replaces an existing one.
void CreateDatabase(const fs::path& folder, bool demo, bool hashed_passwords) {
  const fs::path final_path = folder / "hosp.db";
  const fs::path temp_path = folder / ("hosp.db.init-" + std::to_string(::getpid()));
  fs::remove(temp_path);
  try {
    {
      const auto db = Database::Open(temp_path.string(), true);
      CreateSchema(*db);
      if (demo) LoadDemoData(*db, std::time(nullptr));
      if (hashed_passwords) StaffDirectory(*db).HashClearPasswords();
    }
    if (::link(temp_path.c_str(), final_path.c_str()) != 0) {
      throw std::runtime_error(final_path.string() + " exists already; not overwritten");
    }
    fs::remove(temp_path);
  } catch (...) {
    fs::remove(temp_path);
    throw;
  }
}

void CreateCertificate(const fs::path& folder, std::ostream& out) {
  const fs::path certificate = folder / "server.crt";
  const fs::path key = folder / "server.key";
  const bool has_certificate = fs::exists(certificate);
  const bool has_key = fs::exists(key);
  if (has_certificate && has_key) {
    out << "Keeping the existing " << certificate.string() << " and " << key.string() << "\n";
    return;
  }
  if (has_certificate || has_key) {
    throw std::runtime_error("only one of server.crt and server.key exists in " + folder.string() +
                             "; remove it or supply both");
  }
  WriteSelfSignedCertificate(certificate.string(), key.string(), "localhost");
}

void PrintLogins(const fs::path& folder, std::ostream& out) {
  out << "Demo data folder ready: " << folder.string() << "\n"
      << "Demo logins (e-mail / password):\n";
  for (const auto& login : DemoLogins()) {
    out << "  " << login.email << " / " << login.password << "   (" << login.description << ")\n";
  }
}

void CreateFolder(const fs::path& folder, bool demo, bool hashed_passwords, std::ostream& out) {
  fs::create_directories(folder);
  if (fs::exists(folder / "hosp.db")) {
    throw std::runtime_error((folder / "hosp.db").string() + " exists already; not overwritten");
  }
  CreateCertificate(folder, out);
  CreateDatabase(folder, demo, hashed_passwords);
  fs::create_directories(folder / "Clients");
}

}  // namespace

void InitDemoFolder(const fs::path& folder, std::ostream& out, bool hashed_passwords) {
  CreateFolder(folder, true, hashed_passwords, out);
  PrintLogins(folder, out);
}

void InitDataFolder(const fs::path& folder, std::ostream& out) {
  CreateFolder(folder, false, false, out);
  out << "Data folder ready: " << folder.string() << " (no staff yet; add them with hospd staff add)\n";
}
