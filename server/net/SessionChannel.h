// One accepted client connection as a session sees it: the project's socket, bounded reads
// and writes under the connection's deadline, and the session's log lines.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "PlainSocket.h"
#include "UniqueFd.h"
#include "net/ConnectionRegistry.h"

enum class ReadStatus { Done, Closed, TimedOut, TooLong };

class SessionChannel {
 public:
  // `label` names the connection in the log, e.g. "data 127.0.0.1:50312".
  SessionChannel(std::unique_ptr<PlainSocket> socket, ConnectionTicket ticket,
                 std::chrono::steady_clock::duration idle_limit, std::string label);
  ~SessionChannel();
  SessionChannel(const SessionChannel&) = delete;
  SessionChannel& operator=(const SessionChannel&) = delete;

  // Hands the accepted descriptor to the socket (for TLS: the server side of the handshake,
  // within the idle limit). False when the handshake fails.
  bool Attach(UniqueFd fd);

  // Exactly `length` bytes into `destination` (which holds length + 1 bytes), all within
  // the idle limit.
  ReadStatus ReadExactly(char* destination, int length);
  // Exactly `length` bytes into `destination` (resized to length + 1 bytes), all within the
  // idle limit. It grows with the bytes that arrive, from 4 KiB in doubling steps, so that a
  // peer that only announces a long request holds little memory.
  ReadStatus ReadGrowing(std::vector<char>& destination, int length);
  // A text up to its NUL byte (not included), at most `max_length` bytes with the NUL,
  // all within the idle limit.
  ReadStatus ReadToNul(std::string& text, std::size_t max_length);

  // Sends the bytes within the idle limit; false when the connection fails.
  bool Send(const char* data, int length);
  // Sends the text and its NUL byte.
  bool SendAnswer(const std::string& text);
  // Why the last send failed, for the log.
  std::string_view SendFailure() const;

  void LogFailure(std::string_view what, std::string_view reason) const;
  // A request that was served, with something the administrator should know.
  void LogNotice(std::string_view what, std::string_view notice) const;
  // The one line per connection, written when it ends.
  void LogEnd(int requests, std::string_view reason) const;
  // The reason to log for a read that did not complete.
  static std::string_view Describe(ReadStatus status);

 private:
  int WaitSeconds(std::chrono::steady_clock::time_point deadline, int& microseconds) const;
  ReadStatus ClosedOrTimedOut() const;
  // ReadExactly's loop, against a deadline of the caller's.
  ReadStatus ReadBefore(std::chrono::steady_clock::time_point deadline, char* destination,
                        int length);

  // Declared in this order so that the ticket ends (unregistering the descriptor) before the
  // socket closes it.
  std::unique_ptr<PlainSocket> socket_;
  ConnectionTicket ticket_;
  std::chrono::steady_clock::duration idle_limit_;
  std::string label_;
  std::chrono::steady_clock::time_point opened_;
};
