// Shared pieces of the tests that run the real program under Xvfb: child processes, the
// virtual screen, shell commands and bounded polling.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QRgb>
#include <QSize>

inline constexpr QSize kScreenSize(1024, 768);

// Whether the shell finds `program`.
bool OnPath(const std::string& program);
// The output of a shell command, trailing line ends dropped.
std::string Output(const std::string& command);
// The pixels of exactly this colour.
int CountPixels(const QImage& image, QRgb colour);

// Polls `done` every 100 ms for up to `seconds`.
template <typename Condition>
bool Eventually(Condition done, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

// A child process that is stopped (SIGTERM, then SIGKILL) when the object goes. Its
// standard output goes to /dev/null unless `keep_fd` names a descriptor it is to inherit.
class Child {
 public:
  Child(std::vector<std::string> args, const std::vector<std::string>& extra_environment,
        int keep_fd = -1);
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // True when the process has ended by itself.
  bool Ended();
  void Stop();

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// A virtual X screen whose frame buffer is kept in a file.
class VirtualScreen {
 public:
  explicit VirtualScreen(const std::filesystem::path& frame_folder);

  bool Ready() const { return !display_.empty(); }
  static std::string ScreenArgument();
  const std::string& Display() const { return display_; }
  QImage Screen() const;

 private:
  std::filesystem::path frame_folder_;
  std::unique_ptr<Child> server_;
  std::string display_;
};

// A folder "client" beside `data_folder` holding a copy of the built program, its
// "Hosp.ini" with `ini` and an empty "screen" folder for the frame buffer.
std::filesystem::path MakeProgramFolder(const std::filesystem::path& data_folder,
                                        const std::string& ini);

// The first line a process writes to `fd` (the read end of a pipe), within `seconds`.
std::string ReadLine(int fd, int seconds);
