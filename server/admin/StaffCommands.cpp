// `hospd staff list|add|passwd|remove`: the members of staff who may log in.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "admin/FolderOwner.h"
#include "admin/PasswordInput.h"
#include "admin/StaffCommands.h"
#include "login/StoredPassword.h"
#include "store/StaffDirectory.h"
#include "store/StoreSettings.h"

namespace {

struct StaffOptions {
  std::string data_dir;
  std::string database;
  NewStaffMember member;
  bool password_stdin = false;
  bool hash = false;
};

// A database that holds any hashed password is in hashed mode: its new passwords are
// hashed too, so that no clear one is left beside them.
bool StoreHashed(const StaffOptions& options, StaffDirectory& staff) {
  return options.hash || staff.HasHashedPasswords();
}

// A staff directory with the store whose connection it borrows, which must outlive it.
struct OpenedStaff {
  std::unique_ptr<HospitalStore> store;
  std::unique_ptr<StaffDirectory> staff;  // declared after the store: it ends first

  StaffDirectory* operator->() const { return staff.get(); }
  StaffDirectory& operator*() const { return *staff; }
};

// The staff of hosp.db in the data folder, or of the PostgreSQL database named.
OpenedStaff OpenStaff(const StaffOptions& options) {
  BecomeFolderOwner(options.data_dir);
  const StoreSettings settings{options.data_dir, options.database, 1};
  if (options.database.empty() && !std::filesystem::exists(SqlitePath(settings))) {
    throw std::runtime_error(SqlitePath(settings).string() +
                             " does not exist (hospd init creates a data folder)");
  }
  OpenedStaff opened{OpenStore(settings), nullptr};
  opened.staff = opened.store->Staff();
  return opened;
}

std::string FullName(const StaffMember& member) {
  std::string name;
  for (const std::string* part : {&member.title, &member.first_name, &member.last_name}) {
    if (part->empty()) continue;
    if (!name.empty()) name += ' ';
    name += *part;
  }
  return name;
}

int List(const StaffOptions& options) {
  const std::vector<StaffMember> members = OpenStaff(options)->List();
  std::size_t width = 5;
  for (const auto& member : members) width = std::max(width, member.email.size());
  std::cout << std::left << std::setw(8) << "Seq" << std::setw(static_cast<int>(width) + 2)
            << "Email" << std::setw(11) << "Physician"
            << "Name\n";
  for (const auto& member : members) {
    std::cout << std::setw(8) << member.seq << std::setw(static_cast<int>(width) + 2)
              << member.email << std::setw(11) << member.physician_mark << FullName(member) << "\n";
  }
  return EXIT_SUCCESS;
}

int Add(StaffOptions options) {
  const auto directory = OpenStaff(options);
  StaffDirectory& staff = *directory;
  // Refusals come before the password is asked for.
  CheckNewStaffMember(options.member);
  if (staff.Has(options.member.email)) {
    throw std::runtime_error(options.member.email + " is already a member of staff");
  }
  options.member.stored_password =
      StoredPassword(ReadNewPassword(options.password_stdin), StoreHashed(options, staff));
  const std::int64_t seq = staff.Add(options.member);
  std::cout << "Added " << options.member.email << " as Seq " << seq
            << (options.member.physician ? " (physician)" : " (not a physician)") << "\n";
  return EXIT_SUCCESS;
}

int Passwd(const StaffOptions& options) {
  const auto directory = OpenStaff(options);
  StaffDirectory& staff = *directory;
  const std::string& email = options.member.email;
  if (!staff.Has(email)) throw std::runtime_error("no member of staff has the address " + email);
  const std::string stored =
      StoredPassword(ReadNewPassword(options.password_stdin), StoreHashed(options, staff));
  if (!staff.SetPassword(email, stored)) {
    throw std::runtime_error("no member of staff has the address " + email);
  }
  std::cout << "Password of " << email << " changed\n";
  return EXIT_SUCCESS;
}

int Rehash(const StaffOptions& options) {
  const int replaced = OpenStaff(options)->HashClearPasswords();
  std::cout << "Hashed " << replaced << (replaced == 1 ? " password" : " passwords")
            << "; from now on only hospd --server-login can serve the logins\n";
  return EXIT_SUCCESS;
}

int Remove(const StaffOptions& options) {
  const std::string& email = options.member.email;
  std::int64_t cases = 0;
  switch (OpenStaff(options)->Remove(email, cases)) {
    case RemoveOutcome::NotFound:
      throw std::runtime_error("no member of staff has the address " + email);
    case RemoveOutcome::HasCases:
      throw std::runtime_error(email + " is not removed: " + std::to_string(cases) +
                               " cases name them as physician (hospd staff passwd locks them "
                               "out instead)");
    case RemoveOutcome::Removed:
      break;
  }
  std::cout << "Removed " << email << "\n";
  return EXIT_SUCCESS;
}

// --data, and --database for staff kept in PostgreSQL.
void AddDatabaseOptions(CLI::App& command, StaffOptions& options) {
  AddDataOption(command, options.data_dir);
  command
      .add_option("--database", options.database,
                  "The PostgreSQL database the server keeps its data in (as for hospd "
                  "--database) instead of hosp.db in the data folder.")
      ->type_name("URL");
}

void AddEmailOption(CLI::App& command, StaffOptions& options) {
  command.add_option("--email", options.member.email, "The member's e-mail address (the login).")
      ->type_name("E")
      ->required();
}

void AddPasswordOptions(CLI::App& command, StaffOptions& options) {
  command.add_flag("--password-stdin", options.password_stdin,
                   "Read the password from the first line of standard input instead of asking "
                   "for it twice on the terminal without echo.");
  command.add_flag("--hash", options.hash,
                   "Store the password hashed, as for a server started with --server-login. "
                   "Without it the password is hashed when the database holds any hashed "
                   "password already, and kept in clear otherwise.");
}

}  // namespace

void AddStaffCommands(CLI::App& app, AdminAction& action) {
  auto* staff = app.add_subcommand("staff", "List, add, remove members of staff; set passwords.");
  staff->require_subcommand(1);
  const auto options = std::make_shared<StaffOptions>();

  auto* list = staff->add_subcommand("list",
                                     "List every member of staff: Seq, e-mail address, "
                                     "physician mark and name.");
  AddDatabaseOptions(*list, *options);
  WhenChosen(*list, action, [options] { return List(*options); });

  auto* add = staff->add_subcommand("add", "Add a member of staff who can log in at once.");
  AddDatabaseOptions(*add, *options);
  AddEmailOption(*add, *options);
  add->add_option("--first-name", options->member.first_name, "First name.")
      ->type_name("F")
      ->required();
  add->add_option("--last-name", options->member.last_name, "Last name.")
      ->type_name("L")
      ->required();
  add->add_option("--title", options->member.title, "Title shown before the name, e.g. Dr.")
      ->type_name("T");
  add->add_flag("--physician", options->member.physician,
                "A physician (physician mark Y), who may log in to the client; without it the "
                "client refuses the login.");
  AddPasswordOptions(*add, *options);
  WhenChosen(*add, action, [options] { return Add(*options); });

  auto* passwd = staff->add_subcommand("passwd", "Set a new password for a member of staff.");
  AddDatabaseOptions(*passwd, *options);
  AddEmailOption(*passwd, *options);
  AddPasswordOptions(*passwd, *options);
  WhenChosen(*passwd, action, [options] { return Passwd(*options); });

  auto* rehash = app.add_subcommand(
      "rehash-passwords",
      "Replace every password kept in clear by its salted hash. Afterwards only hospd "
      "--server-login can serve the logins (with clients that send the password: "
      "SendPassword=Y); hospd without it refuses to start on the database.");
  AddDatabaseOptions(*rehash, *options);
  WhenChosen(*rehash, action, [options] { return Rehash(*options); });

  auto* remove = staff->add_subcommand(
      "remove", "Remove a member of staff; refused while cases name them as physician.");
  AddDatabaseOptions(*remove, *options);
  AddEmailOption(*remove, *options);
  WhenChosen(*remove, action, [options] { return Remove(*options); });
}
