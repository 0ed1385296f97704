// A demo data folder and the servers' shared context, made once per fuzzing process.
#include "DemoWorld.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Log.h"
#include "admin/DemoFolder.h"
#include "store/StoreSettings.h"

namespace {

// A folder in memory where there is one: every approval the fuzzer makes is a committed write.
std::filesystem::path MakeFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string root = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  if (base != nullptr && *base != '\0') root = base;
  std::string pattern = root + "/hosp-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

std::filesystem::path g_folder;

void RemoveFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(g_folder, ignored);
}

}  // namespace

DemoWorld& DemoWorld::Get() {
  static DemoWorld world;
  return world;
}

DemoWorld::DemoWorld() : folder_(MakeFolder()) {
  g_folder = folder_;
  std::atexit(RemoveFolder);
  SilenceLog();  // every refused request would write a line
  const std::filesystem::path data = folder_ / "data";
  std::ostringstream ignored;
  InitDemoFolder(data, ignored);
  // A small client build, so that file questions and downloads have something to find.
  std::ofstream(data / "Clients" / "Pellomarquin.exe", std::ios::binary) << std::string(70000, 'M');
  context_ =
      std::make_unique<ServiceContext>(data, OpenStore({data, {}, 4}), std::chrono::seconds(5));
  registry_ = std::make_unique<ConnectionRegistry>(ConnectionLimits{16, 16});
}
