// What every group of administrator's subcommands needs: the action a chosen subcommand runs
// and the options they share.
#include "admin/SubcommandSupport.h"

#include <CLI/CLI.hpp>

void AddDataOption(CLI::App& command, std::string& data_dir) {
  command.add_option("--data", data_dir, "The data folder DIR the server serves.")
      ->type_name("DIR")
      ->required();
}

void WhenChosen(CLI::App& command, AdminAction& action, AdminAction work) {
  command.callback([&action, work = std::move(work)] { action = work; });
}
