// What every group of administrator's subcommands needs: the action a chosen subcommand runs
// and the options they share.
#pragma once

#include <functional>
#include <string>

namespace CLI {
class App;
}

// The work of the subcommand the command line chose; returns the exit status.
using AdminAction = std::function<int()>;

// The `--data DIR` every subcommand takes (required).
void AddDataOption(CLI::App& command, std::string& data_dir);
// `work` becomes the action when `command` is chosen.
void WhenChosen(CLI::App& command, AdminAction& action, AdminAction work);
