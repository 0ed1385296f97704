// The file in which hospd tells scripts and tests which ports it listens on.
#pragma once

#include <string>

// Writes "data_port=N" and "function_port=N" lines (shell-sourceable) to a temporary file
// beside `path` and renames it into place, so that a reader never sees half a file.
// Throws std::runtime_error.
void WritePortsFile(const std::string& path, int data_port, int function_port);
