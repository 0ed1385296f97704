// `hospd check`: what an administrator needs to know about a data folder before serving it.
#include "admin/DataFolderCheck.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "FileDate.h"
#include "OpenSslOwners.h"
#include "service/ClientFiles.h"
#include "store/HospitalStore.h"
#include "store/TableLayout.h"

namespace fs = std::filesystem;

namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
struct ConnectionClose {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

std::unique_ptr<std::FILE, FileClose> OpenForReading(const fs::path& path, FolderReport& report) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (!file) report.problems.push_back(path.filename().string() + ": cannot be read");
  return file;
}

std::string NotAfter(const X509* certificate) {
  std::tm when{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &when) != 1) return "?";
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d", &when);
  return text;
}

void CheckCertificateDates(const X509* certificate, FolderReport& report) {
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
    report.problems.push_back("server.crt: not valid yet");
  }
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    report.problems.push_back("server.crt: expired on " + NotAfter(certificate));
  }
}

void CheckCertificate(const fs::path& folder, FolderReport& report) {
  const auto certificate_file = OpenForReading(folder / "server.crt", report);
  const auto key_file = OpenForReading(folder / "server.key", report);
  X509Pointer certificate;
  KeyPointer key;
  if (certificate_file) {
    certificate.reset(PEM_read_X509(certificate_file.get(), nullptr, nullptr, nullptr));
    if (!certificate) report.problems.push_back("server.crt: not a PEM certificate");
  }
  if (key_file) {
    key.reset(PEM_read_PrivateKey(key_file.get(), nullptr, nullptr, nullptr));
    if (!key) report.problems.push_back("server.key: not an unencrypted PEM private key");
  }
  ERR_clear_error();
  if (certificate) {
    report.facts.push_back("server.crt: valid until " + NotAfter(certificate.get()));
    CheckCertificateDates(certificate.get(), report);
  }
  if (certificate && key && X509_check_private_key(certificate.get(), key.get()) != 1) {
    report.problems.push_back("server.key: does not match server.crt");
  }
  ERR_clear_error();
}

// One whole number from a query, or -1 when it fails.
long long QueryNumber(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  long long value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return value;
}

std::string QueryText(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  std::string value;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  } else {
    value = sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  return value;
}

void CheckColumns(sqlite3* db, const std::string& table,
                  const std::vector<std::string_view>& columns, FolderReport& report) {
  for (const auto column : columns) {
    const std::string sql = "SELECT count(*) FROM pragma_table_info('" + table +
                            "') WHERE name = '" + std::string(column) + "' COLLATE NOCASE";
    if (QueryNumber(db, sql) != 1) {
      report.problems.push_back("hosp.db: table " + table + " lacks the column " +
                                std::string(column));
    }
  }
}

void CheckTables(sqlite3* db, FolderReport& report) {
  CheckColumns(db, "Personnel", PersonnelTable().record_columns, report);
  CheckColumns(db, "Cases", CasesTable().record_columns, report);
  CheckColumns(db, "Needs", {"Seq", "CaseSeq", "pd12", "pc12", "pt11"}, report);
  CheckColumns(db, "Approvals", {"Seq", "CaseSeq", "ApprovedAt"}, report);
}

void CheckDatabase(const fs::path& folder, FolderReport& report) {
  const fs::path path = folder / "hosp.db";
  if (!fs::exists(path)) {
    report.problems.push_back("hosp.db: missing");
    return;
  }
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const std::unique_ptr<sqlite3, ConnectionClose> db(raw);
  if (opened != SQLITE_OK) {
    report.problems.push_back("hosp.db: cannot be opened for writing: " +
                              std::string(sqlite3_errstr(opened)));
    return;
  }
  sqlite3_busy_timeout(raw, 5000);
  const std::string integrity = QueryText(raw, "PRAGMA quick_check");
  if (integrity != "ok") {
    report.problems.push_back("hosp.db: damaged or not a database: " + integrity);
    return;
  }
  const long long version = QueryNumber(raw, "PRAGMA user_version");
  if (version > kSchemaVersion) {
    report.problems.push_back("hosp.db: schema version " + std::to_string(version) +
                              " is newer than this hospd knows (" + std::to_string(kSchemaVersion) +
                              ")");
    return;
  }
  CheckTables(raw, report);
  report.facts.push_back(
      "hosp.db: schema version " + std::to_string(version) + ", " +
      std::to_string(QueryNumber(raw, "SELECT count(*) FROM Personnel")) + " staff, " +
      std::to_string(QueryNumber(raw, "SELECT count(*) FROM Cases WHERE upper(f25) IS NOT 'Y'")) +
      " open cases");
}

// The private key, the audit key, hosp.db with its -wal and -shm, and databases kept beside it
// (backups, an interrupted init's copy): each holds a key or every password.
bool HoldsSecrets(const std::string& name) {
  return name == "server.key" || name == "audit.key" || name.rfind("hosp.db", 0) == 0 ||
         fs::path(name).extension() == ".db";
}

void CheckSecretModes(const fs::path& folder, FolderReport& report) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (HoldsSecrets(name) && entry.is_regular_file(error)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    struct stat info {};
    if (::stat((folder / name).c_str(), &info) != 0) continue;
    const char* readers = (info.st_mode & S_IROTH) != 0   ? "every user of this machine"
                          : (info.st_mode & S_IRGRP) != 0 ? "its group"
                                                          : nullptr;
    if (readers == nullptr) continue;
    char mode[8] = {};
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    report.problems.push_back(name + ": readable by " + readers + " (mode " + mode +
                              "; make it 0600)");
  }
}

std::string DateText(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// The client takes a build as newer by comparing packed dates as signed numbers, so a date
// the packed form cannot hold, or one from 2044 on, never reaches the physicians.
void CheckClientBuild(const ClientFiles& files, const std::string& name, FolderReport& report) {
  std::string error;
  const auto file = files.Open(name, error);
  if (!file) {
    report.problems.push_back(name + ": not offered (" + error + ")");
    return;
  }
  const std::int32_t packed = static_cast<std::int32_t>(file->packed_date);
  if (packed <= 0) {
    report.problems.push_back(name +
                              ": its date cannot be sent as a packed date from 1980 to 2043");
    return;
  }
  report.facts.push_back(name + ": " + std::to_string(file->size) + " bytes, " +
                         DateText(UnpackDosDate(file->packed_date)));
}

void CheckClients(const fs::path& folder, FolderReport& report) {
  const fs::path clients = folder / "Clients";
  std::error_code error;
  if (!fs::is_directory(clients, error)) {
    report.problems.push_back("Clients: missing (no client builds can be offered)");
    return;
  }
  const ClientFiles files(folder);
  std::size_t count = 0;
  for (auto entry = fs::recursive_directory_iterator(clients, error);
       !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->is_directory(error)) continue;
    CheckClientBuild(files, "Clients/" + entry->path().lexically_relative(clients).generic_string(),
                     report);
    ++count;
  }
  if (error) report.problems.push_back("Clients: cannot be listed: " + error.message());
  if (count == 0) report.facts.push_back("Clients: empty (no client build offered)");
}

}  // namespace

FolderReport CheckDataFolder(const fs::path& folder) {
  FolderReport report;
  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    report.problems.push_back(folder.string() + ": not a folder");
    return report;
  }
  CheckCertificate(folder, report);
  CheckDatabase(folder, report);
  CheckSecretModes(folder, report);
  CheckClients(folder, report);
  return report;
}
