// The far end of a socket pair for the fuzz targets: a thread that plays a peer's bytes in
// pieces while it takes in (and keeps) whatever the near end sends.
#pragma once

#include <cstddef>
#include <string>
#include <thread>

// A connected pair of stream sockets; each end is closed by whoever owns it.
struct SocketPairEnds {
  int near_end = -1;
  int far_end = -1;
};
// Both ends, or -1 in both on failure.
SocketPairEnds MakeSocketPair();

class SocketPump {
 public:
  // Takes ownership of `fd`. Sends `bytes` in pieces of `piece` bytes (at least 1), all the
  // while reading; with `after_first_bytes`, sending starts only once the near end has sent
  // something (a server answers, it does not speak first). Then it ends its sending half and
  // reads until the near end closes. Every wait is bounded, so a stuck near end cannot keep
  // the thread for ever.
  SocketPump(int fd, std::string bytes, std::size_t piece, bool after_first_bytes);
  ~SocketPump();
  SocketPump(const SocketPump&) = delete;
  SocketPump& operator=(const SocketPump&) = delete;

  // Waits for the thread; then everything the near end sent is in Received().
  void Join();
  const std::string& Received() const { return received_; }

 private:
  void Run();
  bool WaitForFirstBytes();
  bool ReadAvailable();

  int fd_;
  std::string bytes_;
  std::size_t piece_;
  bool after_first_bytes_;
  std::string received_;
  std::thread thread_;
};
