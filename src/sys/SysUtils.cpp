// Heap blocks, byte search, once-only start-up, usage counting and detached program start.
#include "SysUtils.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

extern char** environ;

#include "RetryOnEintr.h"
#include "TextException.h"

void* MemoryAlloc(std::size_t count, bool zero_fill) {
  if (count == 0) {
    return nullptr;
  }
  return zero_fill ? std::calloc(count, 1) : std::malloc(count);
}

void MemoryFree(void*& holder) {
  if (holder == nullptr) {
    throw TextException("MemoryFree() -- Called with NULL");
  }
  std::free(holder);
  holder = nullptr;
}

void MemoryRelease(void*& holder) {
  void* copy = holder;
  holder = nullptr;
  MemoryFree(copy);
}

const char* FindByte(const char* buffer, std::size_t count, char byte) {
  return static_cast<const char*>(std::memchr(buffer, byte, count));
}

char* FindByte(char* buffer, std::size_t count, char byte) {
  return static_cast<char*>(std::memchr(buffer, byte, count));
}

namespace {

constexpr std::int32_t kOnceNotRun = 0;
constexpr std::int32_t kOnceRunning = 1;
constexpr std::int32_t kOnceDone = 2;

}  // namespace

void CallOnce(OnceFlag& flag, void (*routine)()) {
  for (;;) {
    std::int32_t seen = flag.load(std::memory_order_acquire);
    if (seen == kOnceDone) {
      return;
    }
    if (seen == kOnceNotRun &&
        flag.compare_exchange_strong(seen, kOnceRunning, std::memory_order_acq_rel)) {
      try {
        routine();
      } catch (...) {
        // A routine that failed has not run: let the next caller try instead of
        // leaving every waiter spinning on a flag that never reaches "done".
        flag.store(kOnceNotRun, std::memory_order_release);
        throw;
      }
      flag.store(kOnceDone, std::memory_order_release);
      return;
    }
    std::this_thread::yield();
  }
}

void UsageAcquire(UsageCounter& counter, void (*routine)()) {
  if (counter.fetch_add(1, std::memory_order_acq_rel) + 1 <= 1 && routine != nullptr) {
    routine();
  }
}

void UsageRelease(UsageCounter& counter, void (*routine)()) {
  if (counter.fetch_sub(1, std::memory_order_acq_rel) - 1 == 0 && routine != nullptr) {
    routine();
  }
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Splits like a shell splits plain and double-quoted words: blanks separate words,
// double quotes group blanks into a word and are removed; "" is an empty word.
std::vector<std::string> SplitWords(const std::string& parameters) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (char c : parameters) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (IsBlank(c) && !quoted) {
      if (in_word) {
        words.push_back(word);
      }
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) {
    words.push_back(word);
  }
  return words;
}

// Runs in the grandchild, so only async-signal-safe calls: the new program gets a
// clean signal mask, its own session and none of our descriptors but 0, 1 and 2.
void CleanStart() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  setsid();
}

[[noreturn]] void ExecDetached(const char* file, char* const* argv) {
  CleanStart();
  close_range(3, ~0U, 0);
  execv(file, argv);
  _exit(127);
}

}  // namespace

int StartReporting(const std::string& file, int keep_fd, const char* fd_variable) {
  // Built before fork, as for OpenWithShell: the environment with the variable in front.
  std::string variable = std::string(fd_variable) + "=3";
  std::vector<char*> envp{variable.data()};
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(file.c_str()), nullptr};
  const pid_t child = fork();
  if (child != 0) return child;
  CleanStart();
  if (keep_fd == 3) {
    fcntl(3, F_SETFD, 0);
  } else if (dup2(keep_fd, 3) != 3) {
    _exit(127);
  }
  close_range(4, ~0U, 0);
  execve(file.c_str(), argv, envp.data());
  _exit(127);
}

void OpenWithShell(const std::string& file, const std::string& parameters) {
  // Everything the children need is built before fork: after it, a child of a
  // threaded process may not allocate.
  std::vector<std::string> words = SplitWords(parameters);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(file.c_str()));
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  // Double fork: the middle child exits at once and is reaped here, so the program
  // is adopted by init and never becomes our zombie.
  pid_t middle = fork();
  if (middle < 0) {
    return;
  }
  if (middle == 0) {
    if (fork() == 0) {
      ExecDetached(file.c_str(), argv.data());
    }
    _exit(0);
  }
  RetryOnEintr([middle] { return waitpid(middle, nullptr, 0); });
}
