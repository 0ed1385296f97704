// The administrator's subcommands of hospd (init, staff, backup, check, publish, audit); each
// group adds its own.
#include "admin/AdminCommands.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "admin/AuditCommands.h"
#include "admin/FolderCommands.h"
#include "admin/PublishCommand.h"
#include "admin/StaffCommands.h"

AdminCommands::AdminCommands(CLI::App& app) {
  AddFolderCommands(app, action_);
  AddStaffCommands(app, action_);
  AddPublishCommand(app, action_);
  AddAuditCommands(app, action_);
}

int AdminCommands::Run() const {
  try {
    return action_();
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "hospd: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
}
