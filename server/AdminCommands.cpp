// hospd's administrative subcommands, registered on one command line. A new subcommand is one
// file with an AdminCommand and one line in MakeAll.
#include "AdminCommand.h"

#include <CLI/CLI.hpp>

#include "PublishCommand.h"

namespace {

std::vector<std::unique_ptr<AdminCommand>> MakeAll() {
  std::vector<std::unique_ptr<AdminCommand>> commands;
  commands.push_back(std::make_unique<PublishCommand>());
  return commands;
}

}  // namespace

AdminCommands::AdminCommands(CLI::App& app) {
  for (auto& command : MakeAll()) {
    CLI::App* subcommand = command->Register(app);
    entries_.push_back({std::move(command), subcommand});
  }
}

std::optional<int> AdminCommands::RunChosen() {
  for (Entry& entry : entries_) {
    if (entry.subcommand->parsed()) return entry.command->Run();
  }
  return std::nullopt;
}
