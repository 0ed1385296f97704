// A stand-in for a newer client build in the self-update tests.
// It records how it was started (process, session, terminal, open descriptors) in
// "started.txt" beside itself, then stays alive until a file "release" appears there or
// 20 seconds have passed.
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <dirent.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Field 7 of /proc/self/stat: the controlling terminal, 0 for none.
std::string TerminalNumber() {
  std::ifstream in("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string state, parent, group, session, terminal;
  fields >> state >> parent >> group >> session >> terminal;
  return terminal;
}

// One line "fd=<n> <target>" per open descriptor, leaving out the one that lists them.
std::string Descriptors() {
  std::string lines;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return lines;
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == std::to_string(own)) continue;
    char target[PATH_MAX] = {};
    const ssize_t length = ::readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    lines += "fd=" + name + " " + std::string(target, length > 0 ? length : 0) + "\n";
  }
  ::closedir(dir);
  return lines;
}

}  // namespace

int main(int argc, char** /*argv*/) {
  const fs::path folder = fs::read_symlink("/proc/self/exe").parent_path();
  std::ostringstream record;
  record << "pid=" << ::getpid() << "\n"
         << "sid=" << ::getsid(0) << "\n"
         << "tty=" << TerminalNumber() << "\n"
         << "args=" << argc - 1 << "\n"
         << Descriptors();
  // Written under another name first, so that a reader never sees half a record.
  std::ofstream(folder / "started.part") << record.str();
  fs::rename(folder / "started.part", folder / "started.txt");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(folder / "release") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}
