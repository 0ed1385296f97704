// Listening sockets on 127.0.0.1, on ports the system chooses, for the tests' own peers.
#pragma once

#include "UniqueFd.h"

// A socket listening with `backlog`; its port goes to `port`. Throws std::runtime_error when
// it cannot listen.
int ListenOnLoopback(int backlog, int& port);

// A port where nothing listens: bound a moment ago and given up at once.
int FreeLoopbackPort();

// Takes connections into its backlog and never accepts them: the system completes the TCP
// handshake, and nothing ever answers the peer's bytes. Closing it resets the waiting peers.
class SilentListener {
 public:
  SilentListener() : fd_(ListenOnLoopback(16, port_)) {}

  int Port() const { return port_; }
  void Close() { fd_.Reset(); }

 private:
  int port_ = 0;
  UniqueFd fd_;
};
