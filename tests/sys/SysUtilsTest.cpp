// Tests of the system utilities: heap blocks, byte search, once-only start-up, usage counting,
// program start.
#include "SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "TextException.h"

using namespace std::chrono_literals;

// MemoryAlloc of 0 bytes gives no block; a zero-filled block is all zeros.
TEST(MemoryTest, AllocSizesAndZeroFill) {
  EXPECT_EQ(MemoryAlloc(0, true), nullptr);
  EXPECT_EQ(MemoryAlloc(0, false), nullptr);
  void* block = MemoryAlloc(65536, true);
  ASSERT_NE(block, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(block);
  EXPECT_EQ(std::count(bytes, bytes + 65536, 0), 65536);
  MemoryFree(block);
  EXPECT_EQ(block, nullptr);
}

// MemoryFree on an empty holder throws its fixed message and leaves the holder empty.
TEST(MemoryTest, FreeOfEmptyHolderThrows) {
  void* holder = nullptr;
  try {
    MemoryFree(holder);
    FAIL() << "no exception";
  } catch (const TextException& e) {
    EXPECT_STREQ(e.what(), "MemoryFree() -- Called with NULL");
  }
  EXPECT_EQ(holder, nullptr);
}

// MemoryRelease gives the block back and empties the holder, typed or not.
TEST(MemoryTest, ReleaseEmptiesHolder) {
  void* untyped = MemoryAlloc(16, false);
  auto* typed = static_cast<char*>(MemoryAlloc(16, false));
  ASSERT_NE(untyped, nullptr);
  ASSERT_NE(typed, nullptr);
  MemoryRelease(untyped);
  MemoryRelease(typed);
  EXPECT_EQ(untyped, nullptr);
  EXPECT_EQ(typed, nullptr);
}

// FindByte looks at exactly the first `count` bytes and reports the first match.
TEST(FindByteTest, SearchesExactlyCountBytes) {
  const char buffer[] = "abcab\0xyz";
  struct Case {
    const char* name;
    std::size_t count;
    char byte;
    long expected;  // position, or -1 for none
  } cases[] = {
      {"at the last counted position", 3, 'c', 2}, {"just after the counted bytes", 3, 'a' + 3, -1},
      {"first of two occurrences", 5, 'b', 1},     {"a 0 byte inside the data", 9, '\0', 5},
      {"a byte beyond a 0 byte", 9, 'z', 8},       {"absent", 9, 'q', -1},
  };
  for (const Case& c : cases) {
    const char* found = FindByte(buffer, c.count, c.byte);
    EXPECT_EQ(found == nullptr ? -1 : found - buffer, c.expected) << c.name;
  }
}

namespace {

std::atomic<int> once_runs{0};
std::atomic<bool> once_finished{false};

void SlowStartup() {
  ++once_runs;
  std::this_thread::sleep_for(50ms);
  once_finished = true;
}

std::atomic<int> failing_runs{0};

void FailsFirstTime() {
  if (++failing_runs == 1) {
    throw std::runtime_error("start-up failed");
  }
}

}  // namespace

// CallOnce raced by several threads runs the routine once, and nobody returns before it has
// finished.
TEST(CallOnceTest, RacedByThreadsRunsOnceAndWaits) {
  once_runs = 0;
  once_finished = false;
  OnceFlag flag{0};
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::atomic<int> early_returns{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      CallOnce(flag, SlowStartup);
      if (!once_finished) {
        ++early_returns;
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  CallOnce(flag, SlowStartup);
  EXPECT_EQ(once_runs, 1);
  EXPECT_EQ(early_returns, 0);
  EXPECT_EQ(flag.load(), 2);
}

// A routine that throws has not run: the flag goes back to "not run" and the next call runs it.
TEST(CallOnceTest, FailedRoutineRunsAgain) {
  failing_runs = 0;
  OnceFlag flag{0};
  EXPECT_THROW(CallOnce(flag, FailsFirstTime), std::runtime_error);
  EXPECT_EQ(flag.load(), 0);
  CallOnce(flag, FailsFirstTime);
  CallOnce(flag, FailsFirstTime);
  EXPECT_EQ(failing_runs, 2);
  EXPECT_EQ(flag.load(), 2);
}

namespace {

int usage_routine_runs = 0;
void CountUsageRoutine() { ++usage_routine_runs; }

}  // namespace

// The routine runs for the first user in and the last user out, and only then.
TEST(UsageTest, RoutineAtFirstAndLast) {
  struct Case {
    const char* name;
    int start;
    bool acquire;
    int after;
    bool runs;
  } cases[] = {
      {"first user in", 0, true, 1, true},
      {"second user in", 1, true, 2, false},
      {"below zero counts as first", -1, true, 0, true},
      {"last user out", 1, false, 0, true},
      {"not the last user out", 2, false, 1, false},
      {"out of an empty counter", 0, false, -1, false},
  };
  for (const Case& c : cases) {
    UsageCounter counter{c.start};
    usage_routine_runs = 0;
    if (c.acquire) {
      UsageAcquire(counter, CountUsageRoutine);
    } else {
      UsageRelease(counter, CountUsageRoutine);
    }
    EXPECT_EQ(counter.load(), c.after) << c.name;
    EXPECT_EQ(usage_routine_runs, c.runs ? 1 : 0) << c.name;
  }
  UsageCounter counter{0};
  UsageAcquire(counter, nullptr);
  UsageRelease(counter, nullptr);
  EXPECT_EQ(counter.load(), 0);
}

// Counting from many threads at once loses no step.
TEST(UsageTest, ConcurrentCountingBalances) {
  UsageCounter counter{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 10000; ++j) {
        UsageAcquire(counter, nullptr);
        UsageRelease(counter, nullptr);
      }
    });
  }
  for (int i = 0; i < 5000; ++i) {
    UsageAcquire(counter, nullptr);
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(counter.load(), 5000);
}

namespace {

// The lines of the file once it exists, waiting at most five seconds.
std::vector<std::string> WaitForLines(const std::string& path) {
  for (int i = 0; i < 500 && access(path.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// True when this process has no child at all, running or zombie.
bool HasNoChildren() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

}  // namespace

// The program starts detached in its own session, returns at once, gets its words and none of our
// descriptors.
TEST(OpenWithShellTest, StartsProgramDetached) {
  const TempFolder folder("open_with_shell");
  int inheritable = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(inheritable, 0);
  std::string parameters = "\"" + folder.Path().string() + "\" " + std::to_string(inheritable) +
                           "  plain \"two words\"\tjoined\"quoted part\"s \"\"";
  OpenWithShell(OPEN_WITH_SHELL_PROBE, parameters);
  close(inheritable);
  EXPECT_TRUE(HasNoChildren());

  // The probe waits for this file: had OpenWithShell waited for the probe, it would say "not
  // released".
  std::ofstream(folder.Path("release")).put('\n');
  std::vector<std::string> expected = {"released", "session leader", "descriptor closed",
                                       "plain",    "two words",      "joinedquoted parts",
                                       ""};
  EXPECT_EQ(WaitForLines(folder.Path("marker")), expected);
}

// A file that cannot be started is simply not started, and nothing is left behind.
TEST(OpenWithShellTest, MissingProgramIsNotStarted) {
  OpenWithShell("/nonexistent/program", "a \"b c\"");
  OpenWithShell("", "");
  EXPECT_TRUE(HasNoChildren());
}
