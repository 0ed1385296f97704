// One-line log messages on stderr, safe to write from every connection thread.
#include "Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {

std::mutex log_mutex;
std::atomic<bool> log_silenced{false};

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
  return text;
}

// systemd sets $JOURNAL_STREAM to "DEVICE:INODE" of the stream it connects to stderr; a
// program whose stderr was redirected since inherits the variable but not the stream.
bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  struct stat status {};
  return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
         ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

void SilenceLog() { log_silenced = true; }

void LogLine(LogPriority priority, std::string_view line) {
  if (log_silenced) return;
  static const bool journal = StderrIsJournal();
  std::string message =
      journal ? "<" + std::to_string(static_cast<int>(priority)) + ">" : TimeStamp() + ' ';
  message += line;
  message += '\n';
  // One fwrite per line under a lock, so lines of concurrent connections never interleave.
  const std::lock_guard lock(log_mutex);
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::fflush(stderr);
}

std::string Excerpt(std::string_view text) {
  constexpr std::size_t kLimit = 64;
  std::string shown(text.substr(0, kLimit));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  }
  if (text.size() > kLimit) shown += "...";
  return shown;
}
