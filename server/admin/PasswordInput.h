// Reads a new password for the staff commands, from standard input or from the terminal.
#pragma once

#include <string>

// With `from_stdin`, the first line of standard input (its line end removed); otherwise the
// password typed twice on the controlling terminal without echo. Throws std::runtime_error when
// there is no terminal, the two entries differ, or the password is empty or holds a control
// character (the login window could not type it).
std::string ReadNewPassword(bool from_stdin);
