// `hospd init`, `hospd backup FILE` and `hospd check`: the data folder as a whole.
#pragma once

#include "admin/SubcommandSupport.h"

// Adds the group's subcommands to `app`; the chosen one's work becomes `action`.
void AddFolderCommands(CLI::App& app, AdminAction& action);
