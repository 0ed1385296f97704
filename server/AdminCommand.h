// hospd's administrative subcommands (publish, ...): each one its options and its work; the
// servers themselves run when none is given.
#pragma once

#include <memory>
#include <optional>
#include <vector>

namespace CLI {
class App;
}

class AdminCommand {
 public:
  virtual ~AdminCommand() = default;
  // Adds the subcommand to `app`, its options bound to this object, and returns it.
  virtual CLI::App* Register(CLI::App& app) = 0;
  // Does the work once the command line is parsed; returns the exit status.
  virtual int Run() = 0;
};

// Every administrative subcommand, registered on one command line.
class AdminCommands {
 public:
  explicit AdminCommands(CLI::App& app);
  // The exit status of the subcommand the command line chose, or nothing when it chose none.
  std::optional<int> RunChosen();

 private:
  struct Entry {
    std::unique_ptr<AdminCommand> command;
    CLI::App* subcommand;
  };
  std::vector<Entry> entries_;
};
