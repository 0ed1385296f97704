// Small services over the operating system: heap blocks, byte search,
// once-only start-up, usage counting and starting a program on its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// A heap block from the C heap, or nullptr. A count of 0 gives nullptr.
void* MemoryAlloc(std::size_t count, bool zero_fill);

// Frees the holder's block and empties the holder; throws TextException
// "MemoryFree() -- Called with NULL" when the holder is already empty.
void MemoryFree(void*& holder);

// MemoryFree of a copy of the holder; the holder becomes empty.
void MemoryRelease(void*& holder);

template <typename T>
void MemoryRelease(T*& holder) {
  void* block = holder;
  MemoryRelease(block);
  holder = nullptr;
}

// First occurrence of `byte` among the first `count` bytes of `buffer`, or nullptr.
const char* FindByte(const char* buffer, std::size_t count, char byte);
char* FindByte(char* buffer, std::size_t count, char byte);

// 0 not run, 1 running, 2 done. One flag per start-up routine, living as long as the process.
using OnceFlag = std::atomic<std::int32_t>;

// Runs `routine` exactly once in the process; callers that lose the race wait until it has
// finished.
void CallOnce(OnceFlag& flag, void (*routine)());

using UsageCounter = std::atomic<std::int32_t>;

// Counts a user in; runs `routine` (when given) for the first user.
void UsageAcquire(UsageCounter& counter, void (*routine)());

// Counts a user out; runs `routine` (when given) when the last user leaves.
void UsageRelease(UsageCounter& counter, void (*routine)());

// Starts `file` as a program of its own with `parameters` (plain and double-quoted
// words), in a new session, and returns at once. A file that cannot be started is
// simply not started; no zombie is left behind.
void OpenWithShell(const std::string& file, const std::string& parameters);

// Starts `file` without parameters in a new session, as OpenWithShell does, but as a child of
// this process, with `keep_fd` open in it as descriptor 3 and the environment variable
// `fd_variable` set to "3", so that it can report back. Returns its PID (also its process
// group's), which the caller must reap; -1 when no process could be made.
int StartReporting(const std::string& file, int keep_fd, const char* fd_variable);
