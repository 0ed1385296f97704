// `hospd --init-demo` and `hospd init`: a new data folder with its database (demo data or
// none), certificate and client folder.
#include "admin/DemoFolder.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <ostream>
#include <stdexcept>

#include "admin/Certificate.h"
#include "audit/AuditKey.h"
#include "login/PasswordHash.h"
#include "store/DemoData.h"
#include "store/StoreSettings.h"
#include "store/TableLayout.h"
#include "store/sqlite/SqliteStore.h"

namespace fs = std::filesystem;

namespace {

// The demo's rows; with `hashed_passwords`, their passwords hashed before they are stored,
// so that no clear one ever reaches the database.
DemoRecords DemoRecordsFor(bool hashed_passwords) {
  DemoRecords records = MakeDemoRecords(std::time(nullptr));
  if (!hashed_passwords) return records;
  const auto& columns = PersonnelTable().record_columns;
  const auto password = static_cast<std::size_t>(
      std::find(columns.begin(), columns.end(), "Password") - columns.begin());
  for (auto& person : records.people) person[password] = HashPassword(person[password]);
  return records;
}

// The database is built under a temporary name and linked into place, so that a failed or
// concurrent initialisation never leaves a half-filled hosp.db or replaces an existing one.
void CreateDatabase(const fs::path& folder, bool demo, const DemoRecords& records) {
  const fs::path final_path = folder / "hosp.db";
  const fs::path temp_path = folder / ("hosp.db.init-" + std::to_string(::getpid()));
  fs::remove(temp_path);
  try {
    {
      SqliteStore store(temp_path.string(), 1, true);
      if (demo) store.LoadDemo(records);
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

void CreateCertificate(const fs::path& folder, std::ostream& out, int days) {
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
  WriteSelfSignedCertificate(certificate.string(), key.string(), "localhost", days);
}

// The key of the audit trail; an existing one is kept, as records may be signed with it.
void CreateAuditKey(const fs::path& folder, std::ostream& out) {
  const fs::path key = folder / AuditKey::kFileName;
  if (fs::exists(key)) {
    out << "Keeping the existing " << key.string() << "\n";
    return;
  }
  AuditKey::Create(key);
}

void PrintLogins(const fs::path& folder, std::ostream& out) {
  out << "Demo data folder ready: " << folder.string() << "\n"
      << "Demo logins (e-mail / password):\n";
  for (const auto& login : DemoLogins()) {
    out << "  " << login.email << " / " << login.password << "   (" << login.description << ")\n";
  }
}

// Clients that pin the server ("Fingerprint" in Hosp.ini) take it from here.
void PrintFingerprint(const fs::path& folder, std::ostream& out) {
  out << "Data server certificate fingerprint (SHA-256, for \"Fingerprint\" in Hosp.ini):\n  "
      << CertificateFileFingerprint((folder / "server.crt").string()) << "\n";
}

// A new folder is closed to other users, as it will hold the passwords and the private key;
// its group may enter it, as the package's /var/lib/hospd. An existing folder keeps its mode.
void CreateDataFolder(const fs::path& folder) {
  const bool is_new = !fs::exists(folder);
  fs::create_directories(folder);
  if (is_new) fs::permissions(folder, fs::perms(0750));
}

void CreateFolder(const fs::path& folder, bool demo, bool hashed_passwords, std::ostream& out,
                  const std::string& database, int certificate_days = kCertificateDays) {
  CreateDataFolder(folder);
  if (database.empty() && fs::exists(folder / "hosp.db")) {
    throw std::runtime_error((folder / "hosp.db").string() + " exists already; not overwritten");
  }
  CreateCertificate(folder, out, certificate_days);
  CreateAuditKey(folder, out);
  const DemoRecords records = demo ? DemoRecordsFor(hashed_passwords) : DemoRecords();
  if (database.empty()) {
    CreateDatabase(folder, demo, records);
  } else {
    OpenStore({folder, database, 1})->LoadDemo(records);
  }
  fs::create_directories(folder / "Clients");
}

}  // namespace

void InitDemoFolder(const fs::path& folder, std::ostream& out, const std::string& database,
                    bool hashed_passwords) {
  CreateFolder(folder, true, hashed_passwords, out, database);
  PrintLogins(folder, out);
  PrintFingerprint(folder, out);
}

void InitDataFolder(const fs::path& folder, std::ostream& out, int certificate_days) {
  CreateFolder(folder, false, false, out, {}, certificate_days);
  out << "Data folder ready: " << folder.string()
      << " (no staff yet; add them with hospd staff add)\n";
  PrintFingerprint(folder, out);
}
