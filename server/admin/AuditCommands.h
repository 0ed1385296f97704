// `hospd audit verify|head|export`: the audit trail of approvals, checked and read.
#pragma once

#include "admin/SubcommandSupport.h"

// Adds the group's subcommands to `app`; the chosen one's work becomes `action`.
void AddAuditCommands(CLI::App& app, AdminAction& action);
