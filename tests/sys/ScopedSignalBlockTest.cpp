// Tests of blocking one signal around a call that may raise it.
#include "ScopedSignalBlock.h"

#include <csignal>
#include <ctime>

#include <pthread.h>

#include <gtest/gtest.h>

namespace {

bool Pending(int signal) {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, signal) == 1;
}

bool Blocked(int signal) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signal) == 1;
}

}  // namespace

// A signal raised inside the scope is taken off, and the thread's mask is as it was.
TEST(ScopedSignalBlockTest, DropsASignalRaisedInside) {
  for (const int signal : {SIGPIPE, SIGXFSZ}) {
    {
      const ScopedSignalBlock block(signal);
      pthread_kill(pthread_self(), signal);
      EXPECT_TRUE(Pending(signal)) << signal;
    }
    EXPECT_FALSE(Pending(signal)) << signal;
    EXPECT_FALSE(Blocked(signal)) << signal;
  }
}

// A signal already pending (the caller blocks it) belongs to the caller and stays pending.
TEST(ScopedSignalBlockTest, LeavesAnEarlierPendingSignal) {
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, SIGUSR1);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &only, &previous);
  pthread_kill(pthread_self(), SIGUSR1);
  { const ScopedSignalBlock block(SIGUSR1); }
  EXPECT_TRUE(Pending(SIGUSR1));
  EXPECT_TRUE(Blocked(SIGUSR1));
  const timespec no_wait{0, 0};
  sigtimedwait(&only, nullptr, &no_wait);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
