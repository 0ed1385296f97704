// A bare TCP connection for feeding the servers bytes no real client would send.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "UniqueFd.h"

class RawConnection {
 public:
  // Connects to 127.0.0.1:port from `from` (any 127.0.0.x stands for another client
  // machine); throws std::runtime_error when it cannot.
  explicit RawConnection(int port, const std::string& from = "127.0.0.1");

  // False once the server has closed (or reset) the connection.
  bool Send(std::string_view bytes);
  // Reads until a NUL byte arrives (returned without it) or `limit` passes (empty text).
  std::string ReadAnswer(std::chrono::milliseconds limit);
  // True when the server ends the connection within `limit`; bytes it sends are skipped.
  bool ClosedByServer(std::chrono::milliseconds limit);

 private:
  UniqueFd fd_;
};

// The 12-byte frame header of the data protocol followed by `text` as given (no NUL added).
std::string FrameBytes(int length, int type, int subtype, std::string_view text);
