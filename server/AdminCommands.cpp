// The administrator's subcommands of hospd (init, staff, backup, check, publish); each group adds
// its own.
#include "AdminCommands.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <exception>
#include <iostream>

AdminCommands::AdminCommands(CLI::App& app) {
  AddFolderCommands(app, action_);
  AddStaffCommands(app, action_);
  AddPublishCommand(app, action_);
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

void AddDataOption(CLI::App& command, std::string& data_dir) {
  command.add_option("--data", data_dir, "The data folder DIR the server serves.")
      ->type_name("DIR")
      ->required();
}

void WhenChosen(CLI::App& command, AdminAction& action, AdminAction work) {
  command.callback([&action, work = std::move(work)] { action = work; });
}
