// Keeps one signal from ending the process while a call that may raise it runs.
#include "ScopedSignalBlock.h"

#include <ctime>

#include <pthread.h>

#include "RetryOnEintr.h"

ScopedSignalBlock::ScopedSignalBlock(int signal) {
  sigemptyset(&only_);
  sigaddset(&only_, signal);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, signal) == 1;
  pthread_sigmask(SIG_BLOCK, &only_, &previous_);
}

ScopedSignalBlock::~ScopedSignalBlock() {
  if (!was_pending_) {
    const timespec no_wait{0, 0};
    RetryOnEintr([&] { return sigtimedwait(&only_, nullptr, &no_wait); });
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
