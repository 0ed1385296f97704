// Runs one hospd command line (an administrator's subcommand) to its end, for the tests.
#pragma once

#include <string>
#include <vector>

struct CommandOutcome {
  int status = -1;  // exit status, -1 when it did not end normally within 60 s
  std::string out;
  std::string err;
};

// Runs the hospd under test with `arguments`, `input` as its standard input and no terminal
// (a new session), and collects both outputs.
CommandOutcome RunHospd(const std::vector<std::string>& arguments, const std::string& input = "");

// The same for any program at `path` (hospctl, say).
CommandOutcome RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                          const std::string& input = "");
