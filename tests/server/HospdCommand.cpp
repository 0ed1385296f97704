// Runs one hospd command line (an administrator's subcommand) to its end, for the tests.
#include "HospdCommand.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "HospdProcess.h"

extern char** environ;

namespace {

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int WaitBounded(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

CommandOutcome RunHospd(const std::vector<std::string>& arguments, const std::string& input) {
  return RunProgram(HospdProcess::ExecutablePath(), arguments, input);
}

CommandOutcome RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                          const std::string& input) {
  char pattern[] = "/tmp/hosp-command-XXXXXX";
  const std::filesystem::path folder = ::mkdtemp(pattern);
  std::ofstream(folder / "in", std::ios::binary) << input;

  std::vector<std::string> words{path};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, (folder / "in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (folder / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, (folder / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);  // no terminal to ask a password on
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);

  CommandOutcome outcome;
  if (spawned == 0) {
    outcome.status = WaitBounded(pid);
    outcome.out = ReadWhole(folder / "out");
    outcome.err = ReadWhole(folder / "err");
  }
  std::filesystem::remove_all(folder);
  return outcome;
}
