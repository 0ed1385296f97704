// Runs the hospload tool from a test while the test does something else to the servers.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct HosploadOutcome {
  int status = -1;
  std::string output;
};

// Starts hospload with `arguments`, runs `meanwhile` while it works, and waits for it.
// `meanwhile` starts once hospload has printed its first line: it has read the database
// then, and its clients are about to start.
template <typename Meanwhile>
HosploadOutcome RunHospload(const std::string& arguments, Meanwhile meanwhile) {
  const std::string command = std::string(HOSPLOAD_PATH) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  HosploadOutcome outcome;
  char buffer[512];
  if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) outcome.output += buffer;
  meanwhile();
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) outcome.output += buffer;
  const int status = ::pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}
