// `hospd staff list|add|passwd|remove`: the members of staff who may log in.
#pragma once

#include "admin/SubcommandSupport.h"

// Adds the group's subcommands to `app`; the chosen one's work becomes `action`.
void AddStaffCommands(CLI::App& app, AdminAction& action);
