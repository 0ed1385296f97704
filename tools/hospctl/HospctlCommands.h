// The commands of hospctl, in two groups: server commands on the connections a Hosp.ini names,
// and the publisher's key commands, which need none.
#pragma once

#include <cstddef>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "IniFile.h"

using Arguments = std::vector<std::string>;

// Thrown for a request that did not succeed; main prints the reason and exits 1.
struct Failure {
  std::string reason;
};

// Thrown for a command line that cannot be used; main prints the usage and exits 2.
struct BadUsage {
  std::string reason;
};

// What a server command works on: the Hosp.ini, and the seconds given with --timeout (-1 when
// the option is absent and the Timeout keys decide).
struct ServerTarget {
  const IniFile& ini;
  int timeout_option;
};

struct ServerCommand {
  std::size_t min_arguments;
  std::size_t max_arguments;
  std::function<int(const ServerTarget&, const Arguments&)> run;
};

// Each takes exactly two arguments.
using KeyCommand = std::function<int(const Arguments&)>;

// Data server and function server commands, by name (ServerCommands.cpp).
const std::map<std::string, ServerCommand>& ServerCommands();
// keygen and sign (KeyCommands.cpp).
const std::map<std::string, KeyCommand>& KeyCommands();

inline void PrintValue(const char* name, const std::string& value) {
  std::cout << name << '=' << value << '\n';
}
