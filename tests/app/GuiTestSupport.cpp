// Shared pieces of the tests that run the real program under Xvfb: child processes, the
// virtual screen, shell commands and bounded polling.
#include "GuiTestSupport.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestFiles.h"
#include "XwdImage.h"

extern char** environ;

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

int CountPixels(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == colour ? 1 : 0;
  }
  return count;
}

Child::Child(std::vector<std::string> args, const std::vector<std::string>& extra_environment,
             int keep_fd) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment(extra_environment);
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (keep_fd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

bool Child::Ended() {
  if (pid_ <= 0) return true;
  if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
  pid_ = -1;
  return true;
}

void Child::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!Eventually([this] { return Ended(); }, 5)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    pid_ = -1;
  }
}

VirtualScreen::VirtualScreen(const std::filesystem::path& frame_folder)
    : frame_folder_(frame_folder) {
  int fds[2];
  if (::pipe(fds) != 0) return;
  server_ =
      std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]),
                                                       "-screen", "0", ScreenArgument(), "-fbdir",
                                                       frame_folder.string(), "-nolisten", "tcp"},
                              std::vector<std::string>{}, fds[1]);
  ::close(fds[1]);
  const std::string number = ReadLine(fds[0], 10);
  ::close(fds[0]);
  display_ = number.empty() ? std::string() : ":" + number;
}

std::string VirtualScreen::ScreenArgument() {
  return std::to_string(kScreenSize.width()) + "x" + std::to_string(kScreenSize.height()) + "x24";
}

QImage VirtualScreen::Screen() const { return ReadXwd((frame_folder_ / "Xvfb_screen0").string()); }

std::string ReadLine(int fd, int seconds) {
  std::string line;
  pollfd entry{fd, POLLIN, 0};
  char c = 0;
  while (::poll(&entry, 1, seconds * 1000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::filesystem::path MakeProgramFolder(const std::filesystem::path& data_folder,
                                        const std::string& ini) {
  namespace fs = std::filesystem;
  const char* build = std::getenv("HOSP_BUILD_DIR");
  if (build == nullptr) throw std::runtime_error("HOSP_BUILD_DIR is not set");
  const fs::path folder = data_folder.parent_path() / "client";
  fs::create_directories(folder / "screen");
  fs::copy_file(fs::path(build) / "src" / "app" / "Pellomarquin.exe", folder / "Pellomarquin.exe");
  WriteBytes(folder / "Hosp.ini", ini);
  return folder;
}
