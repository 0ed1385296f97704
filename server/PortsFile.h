// The file in which hospd tells scripts and tests which ports it listens on.
#pragma once

#include <string>

// Writes "data_port=N" and "function_port=N" lines (shell-sourceable), and "metrics_port=N"
// when `metrics_port` is not 0, to a temporary file beside `path` and renames it into place,
// so that a reader never sees half a file. Throws std::runtime_error.
void WritePortsFile(const std::string& path, int data_port, int function_port,
                    int metrics_port = 0);
