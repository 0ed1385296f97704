// `hospd publish BUILD`: offers a client build in the data folder's Clients folder, signed or
// not, so that no client ever reads a half-written build or signature.
#pragma once

#include "admin/SubcommandSupport.h"

// Adds the group's subcommands to `app`; the chosen one's work becomes `action`.
void AddPublishCommand(CLI::App& app, AdminAction& action);
