// Runs the reference servers as a child process on fresh demo data, for one test.
#include "HospdProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "TestFiles.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Generous: sanitizer builds start and stop slowly on a loaded machine.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(15);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

// Starts `arguments` with stdout and stderr appended to `output_path`.
pid_t Spawn(const std::vector<std::string>& arguments, const std::string& output_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int result = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) throw std::runtime_error("cannot start " + arguments[0]);
  return pid;
}

// The exit status once the child has ended within `limit`; nothing while it still runs.
std::optional<int> WaitFor(pid_t pid, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (done < 0) return -1;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kPollInterval);
  }
}

int ReadPort(const std::string& text, const std::string& name) {
  const auto at = text.find(name + "=");
  if (at == std::string::npos) return 0;
  return std::atoi(text.c_str() + at + name.size() + 1);
}

}  // namespace

std::string HospdProcess::ExecutablePath() {
  const char* build_dir = std::getenv("HOSP_BUILD_DIR");
  if (build_dir != nullptr && *build_dir != '\0') return std::string(build_dir) + "/server/hospd";
  // The build that compiled this file, for runs without the variable (a test started by hand).
  return HOSPD_BUILT_PATH;
}

std::string ClientIni(const HospdProcess& server, const std::string& data_keys,
                      const std::string& function_keys) {
  return "[DataServer]\nIP=127.0.0.1\nPort=" + std::to_string(server.DataPort()) + "\n" +
         data_keys +
         "[FunctionServer]\nIP=127.0.0.1\nPort=" + std::to_string(server.FunctionPort()) + "\n" +
         function_keys;
}

CommandOutcome RunHospd(const std::vector<std::string>& arguments, const std::string& input) {
  return RunProgram(HospdProcess::ExecutablePath(), arguments, input);
}

HospdProcess::HospdProcess(std::vector<std::string> extra_arguments, std::string database,
                           bool load_demo)
    : extra_arguments_(std::move(extra_arguments)),
      database_(std::move(database)),
      load_demo_(load_demo) {
  temp_dir_ = MakeTempFolder("hospd-test").string();
  data_dir_ = temp_dir_ + "/data";
  ports_file_ = temp_dir_ + "/ports";
  log_file_ = temp_dir_ + "/hospd.log";
  try {
    InitDemoData();
    StartServer(0, 0);
    WaitForPorts();
  } catch (...) {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(temp_dir_, ignored);
    throw;
  }
}

HospdProcess::~HospdProcess() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(temp_dir_, ignored);
}

void HospdProcess::InitDemoData() {
  const std::string output = temp_dir_ + "/init.log";
  std::vector<std::string> arguments{ExecutablePath(), "--init-demo", data_dir_};
  // Without the database, the folder gets a hosp.db that nobody uses.
  if (load_demo_ && !database_.empty())
    arguments.insert(arguments.end(), {"--database", database_});
  for (const char* checks_logins : {"--server-login", "--require-login"}) {
    if (std::find(extra_arguments_.begin(), extra_arguments_.end(), checks_logins) !=
        extra_arguments_.end()) {
      arguments.push_back("--server-login");
      break;
    }
  }
  const pid_t pid = Spawn(arguments, output);
  const auto status = WaitFor(pid, kStartLimit);
  if (!status) {
    ::kill(pid, SIGKILL);
    WaitFor(pid, kStopLimit);
  }
  if (status != 0) throw std::runtime_error("hospd --init-demo failed: " + ReadBytes(output));
}

// Port 0 lets the system choose.
void HospdProcess::StartServer(int data_port, int function_port) {
  std::vector<std::string> arguments{ExecutablePath(),
                                     "--data",
                                     data_dir_,
                                     "--data-port",
                                     std::to_string(data_port),
                                     "--function-port",
                                     std::to_string(function_port),
                                     "--ports-file",
                                     ports_file_};
  if (!database_.empty()) arguments.insert(arguments.end(), {"--database", database_});
  arguments.insert(arguments.end(), extra_arguments_.begin(), extra_arguments_.end());
  pid_ = Spawn(arguments, log_file_);
}

void HospdProcess::WaitForPorts() {
  const auto deadline = Clock::now() + kStartLimit;
  while (Clock::now() < deadline) {
    const std::string ports = ReadBytes(ports_file_);
    data_port_ = ReadPort(ports, "data_port");
    function_port_ = ReadPort(ports, "function_port");
    metrics_port_ = ReadPort(ports, "metrics_port");
    if (data_port_ > 0 && function_port_ > 0) return;
    if (const auto status = WaitFor(pid_, std::chrono::seconds(0))) {
      pid_ = -1;
      exit_status_ = *status;
      throw std::runtime_error("hospd ended at start-up: " + LogText());
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  throw std::runtime_error("hospd did not report its ports in time: " + LogText());
}

long HospdProcess::ResidentKiB() const {
  if (pid_ <= 0) return 0;
  const std::string status = ReadBytes("/proc/" + std::to_string(pid_) + "/status");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

std::string HospdProcess::LogText() const { return ReadBytes(log_file_); }

void HospdProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  WaitFor(pid_, kStopLimit);
  pid_ = -1;
  paused_ = false;
  exit_status_ = -1;
}

// SIGSTOP takes effect asynchronously: the wait for the stop report makes sure that no
// thread of the server answers anything after Pause has returned.
void HospdProcess::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

void HospdProcess::Pause() {
  if (pid_ <= 0) return;
  paused_ = true;
  ::kill(pid_, SIGSTOP);
  const auto deadline = Clock::now() + kStopLimit;
  while (Clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WUNTRACED | WNOHANG);
    if (done == pid_ && WIFSTOPPED(status)) return;
    if (done == pid_ || done < 0) {
      pid_ = -1;
      throw std::runtime_error("hospd ended instead of stopping: " + LogText());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  throw std::runtime_error("hospd did not stop on SIGSTOP");
}

void HospdProcess::Resume() {
  if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void HospdProcess::Restart(std::vector<std::string> extra_arguments) {
  Stop();
  extra_arguments_ = std::move(extra_arguments);
  Restart();
}

void HospdProcess::Restart() {
  Stop();
  // The old ports file would announce the ports before the new server listens on them.
  std::filesystem::remove(ports_file_);
  const int data_port = data_port_;
  const int function_port = function_port_;
  StartServer(data_port, function_port);
  WaitForPorts();
  if (data_port_ != data_port || function_port_ != function_port) {
    throw std::runtime_error("hospd came back on other ports: " + LogText());
  }
}

int HospdProcess::Stop() {
  if (pid_ <= 0) return exit_status_;
  // A paused server takes its SIGTERM only once it runs again. SIGCONT goes first and only
  // then: one that came later would discard the stop with which LeakSanitizer's tracer
  // halts the exiting server, which would then wait for ever.
  if (paused_) ::kill(pid_, SIGCONT);
  paused_ = false;
  ::kill(pid_, SIGTERM);
  auto status = WaitFor(pid_, kStopLimit);
  if (!status) {
    ::kill(pid_, SIGKILL);
    WaitFor(pid_, kStopLimit);
    status = -1;
  }
  pid_ = -1;
  exit_status_ = *status;
  return exit_status_;
}

DelayedKill::DelayedKill(HospdProcess& server)
    : thread_([&server] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.Kill();
      }) {}
