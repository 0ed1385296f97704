// The administrator's subcommands of hospd (init, staff, backup, check, publish); each group adds
// its own.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

// The work of the subcommand the command line chose; returns the exit status.
using AdminAction = std::function<int()>;

class AdminCommands {
 public:
  // Adds every group's subcommands to `app`; `app` must outlive this object's parse.
  explicit AdminCommands(CLI::App& app);

  bool Chosen() const { return static_cast<bool>(action_); }
  // Runs the chosen subcommand; a failure is printed as one line "hospd: reason" and ends
  // with exit status 1.
  int Run() const;

 private:
  AdminAction action_;
};

// For the groups: the `--data DIR` every subcommand takes (required).
void AddDataOption(CLI::App& command, std::string& data_dir);
// For the groups: `work` becomes the action when `command` is chosen.
void WhenChosen(CLI::App& command, AdminAction& action, AdminAction work);

// The groups, one file each.
void AddStaffCommands(CLI::App& app, AdminAction& action);
void AddFolderCommands(CLI::App& app, AdminAction& action);
void AddPublishCommand(CLI::App& app, AdminAction& action);
