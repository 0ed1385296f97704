// Keeps one signal from ending the process while a call that may raise it runs.
#pragma once

#include <csignal>

// Blocks `signal` in the calling thread for its lifetime, so that the call fails with an error
// instead (sendfile() with EPIPE for SIGPIPE, write() with EFBIG for SIGXFSZ). One raised
// meanwhile is taken off again before the old mask returns; one pending before stays pending.
class ScopedSignalBlock {
 public:
  explicit ScopedSignalBlock(int signal);
  ~ScopedSignalBlock();
  ScopedSignalBlock(const ScopedSignalBlock&) = delete;
  ScopedSignalBlock& operator=(const ScopedSignalBlock&) = delete;

 private:
  sigset_t only_{};
  sigset_t previous_{};
  bool was_pending_ = false;
};
