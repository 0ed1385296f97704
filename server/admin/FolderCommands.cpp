// `hospd init`, `hospd backup FILE` and `hospd check`: the data folder as a whole.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "admin/DataFolderCheck.h"
#include "admin/DemoFolder.h"
#include "admin/FolderCommands.h"
#include "admin/FolderOwner.h"
#include "store/sqlite/SqliteBackup.h"

namespace fs = std::filesystem;

namespace {

struct FolderOptions {
  std::string data_dir;
  std::string backup_file;
  int certificate_days = kCertificateDays;
};

int Init(const FolderOptions& options) {
  // An existing folder (made by the package for its system user) is filled as its owner.
  if (fs::exists(options.data_dir)) BecomeFolderOwner(options.data_dir);
  InitDataFolder(options.data_dir, std::cout, options.certificate_days);
  return EXIT_SUCCESS;
}

int Backup(const FolderOptions& options) {
  BecomeFolderOwner(options.data_dir);
  BackupDatabase(fs::path(options.data_dir) / "hosp.db", options.backup_file);
  std::cout << "Backup of " << (fs::path(options.data_dir) / "hosp.db").string() << " written to "
            << options.backup_file << "\n";
  return EXIT_SUCCESS;
}

int Check(const FolderOptions& options) {
  BecomeFolderOwner(options.data_dir);
  const FolderReport report = CheckDataFolder(options.data_dir);
  for (const auto& fact : report.facts) std::cout << fact << "\n";
  std::cout.flush();
  for (const auto& problem : report.problems) std::cerr << "hospd check: " << problem << "\n";
  if (!report.problems.empty()) return EXIT_FAILURE;
  std::cout << "ok\n";
  return EXIT_SUCCESS;
}

}  // namespace

void AddFolderCommands(CLI::App& app, AdminAction& action) {
  const auto options = std::make_shared<FolderOptions>();

  auto* init = app.add_subcommand(
      "init",
      "Create a data folder for production: hosp.db with the tables and no records, a "
      "self-signed server.crt and server.key (an existing pair is kept), the audit key "
      "audit.key (an existing one is kept) and an empty Clients folder. Never overwrites "
      "hosp.db.");
  AddDataOption(*init, options->data_dir);
  init->add_option("--cert-days", options->certificate_days,
                   "Days a new certificate is valid (an existing pair is kept).")
      ->type_name("N")
      ->check(CLI::Range(1, 36500))
      ->capture_default_str();
  WhenChosen(*init, action, [options] { return Init(*options); });

  auto* backup = app.add_subcommand(
      "backup",
      "Write a consistent copy of the data folder's hosp.db to FILE (a new file, mode "
      "0600) while the server runs.");
  AddDataOption(*backup, options->data_dir);
  backup->add_option("FILE", options->backup_file, "The new file; an existing one is refused.")
      ->type_name("")
      ->required();
  WhenChosen(*backup, action, [options] { return Backup(*options); });

  auto* check = app.add_subcommand(
      "check",
      "Check the data folder: server.crt and server.key readable and matching, the "
      "database and its schema version, the client builds in Clients with their dates, "
      "no file with secrets readable by its group or other users. "
      "Exit status 0 when all is well, 1 with one line per problem.");
  AddDataOption(*check, options->data_dir);
  WhenChosen(*check, action, [options] { return Check(*options); });
}
