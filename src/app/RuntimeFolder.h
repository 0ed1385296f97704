// The per-user runtime folder the toolkit asks for, provided where the session gave none.
#pragma once

// When XDG_RUNTIME_DIR is unset (root on a bare machine, a service, a test screen), points
// it at the folder the toolkit would fall back to, "runtime-<user>" in the temporary folder,
// creating that with mode 0700; so the toolkit finds one instead of warning on every start.
// A folder there that is not ours alone (another owner, a link, other modes) is left alone,
// and so is the variable: the toolkit's own warning about it is then the right one.
// Call before the application object is built.
void ProvideRuntimeFolder();
