// Program that OpenWithShell tests start: reports how it was started in a marker file.
//
// Usage: OpenWithShellProbe <folder> <descriptor> [words...]
// Waits (at most 5 s) for <folder>/release, then writes <folder>/marker with one
// line each: "released" or "not released", "session leader" or "no session",
// "descriptor open" or "descriptor closed", then every further word.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool WaitForRelease(const std::string& folder) {
  for (int i = 0; i < 500; ++i) {
    if (access((folder + "/release").c_str(), F_OK) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    return 2;
  }
  const std::string folder = argv[1];
  // Looked at before this program opens any file of its own, which could reuse the number.
  const bool inherited = fcntl(std::atoi(argv[2]), F_GETFD) != -1;
  const bool released = WaitForRelease(folder);
  {
    std::ofstream out(folder + "/marker.tmp");
    out << (released ? "released" : "not released") << '\n'
        << (getsid(0) == getpid() ? "session leader" : "no session") << '\n'
        << (inherited ? "descriptor open" : "descriptor closed") << '\n';
    for (int i = 3; i < argc; ++i) {
      out << argv[i] << '\n';
    }
  }
  // The marker appears whole or not at all.
  return std::rename((folder + "/marker.tmp").c_str(), (folder + "/marker").c_str()) == 0 ? 0 : 1;
}
