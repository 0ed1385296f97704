// Listening sockets on 127.0.0.1, on ports the system chooses, for the tests' own peers.
#pragma once

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
  ~SilentListener() { Close(); }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  int Port() const { return port_; }
  void Close();

 private:
  int port_ = 0;
  int fd_;
};
