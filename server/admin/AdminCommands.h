// The administrator's subcommands of hospd (init, staff, backup, check, publish, audit); each
// group adds its own.
#pragma once

#include "admin/SubcommandSupport.h"

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
