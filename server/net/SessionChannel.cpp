// One accepted client connection as a session sees it: the project's socket, bounded reads
// and writes under the connection's deadline, and the session's log lines.
#include "net/SessionChannel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Log.h"

namespace {

using Clock = std::chrono::steady_clock;

// The watchdog is the backstop for waits inside the TLS library that no time limit reaches;
// it fires a little after the socket's own limit, so that an ordinary time-out comes first.
constexpr auto kWatchdogGrace = std::chrono::seconds(1);

// The delimited readers take at most the receive buffer's capacity per call; they start with
// a small chunk, which is all an idle connection or a short request ever needs.
constexpr int kChunk = RECV_BUFFER_CAPACITY;
// The first step of a buffer that grows as the bytes arrive.
constexpr int kFirstStep = 4096;

}  // namespace

SessionChannel::SessionChannel(std::unique_ptr<PlainSocket> socket, ConnectionTicket ticket,
                               Clock::duration idle_limit, std::string label)
    : socket_(std::move(socket)),
      ticket_(std::move(ticket)),
      idle_limit_(idle_limit),
      label_(std::move(label)),
      opened_(Clock::now()) {}

SessionChannel::~SessionChannel() = default;

bool SessionChannel::Attach(UniqueFd fd) {
  ticket_.Arm(idle_limit_);
  const int result = socket_->Attach(fd.Release(), false);
  ticket_.Disarm();
  return result == SOCK_SUCCESS && socket_->state == SOCK_STATE_CONNECTED;
}

int SessionChannel::WaitSeconds(Clock::time_point deadline, int& microseconds) const {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (left.count() <= 0) return -1;
  microseconds = static_cast<int>(left.count() % 1000000);
  return static_cast<int>(left.count() / 1000000);
}

ReadStatus SessionChannel::ClosedOrTimedOut() const {
  return ticket_.TimedOut() ? ReadStatus::TimedOut : ReadStatus::Closed;
}

ReadStatus SessionChannel::ReadExactly(char* destination, int length) {
  ticket_.Arm(idle_limit_ + kWatchdogGrace);
  const ReadStatus status = ReadBefore(Clock::now() + idle_limit_, destination, length);
  if (status == ReadStatus::Done) ticket_.Disarm();
  return status;
}

ReadStatus SessionChannel::ReadGrowing(std::vector<char>& destination, int length) {
  const Clock::time_point deadline = Clock::now() + idle_limit_;
  ticket_.Arm(idle_limit_ + kWatchdogGrace);
  destination.clear();
  int total = 0;
  while (total < length) {
    // Each step is at most as large as what has arrived so far: the buffer stays within twice
    // the bytes received (and 4 KiB), however long the announced request.
    const int step = std::min(length - total, std::max(total, kFirstStep));
    destination.resize(static_cast<std::size_t>(total + step) + 1);
    const ReadStatus status = ReadBefore(deadline, destination.data() + total, step);
    if (status != ReadStatus::Done) return status;
    total += step;
  }
  ticket_.Disarm();
  return ReadStatus::Done;
}

ReadStatus SessionChannel::ReadBefore(Clock::time_point deadline, char* destination, int length) {
  int total = 0;
  while (total < length) {
    int microseconds = 0;
    const int seconds = WaitSeconds(deadline, microseconds);
    if (seconds < 0) return ReadStatus::TimedOut;
    const int n = socket_->Read(destination + total, length - total, seconds, microseconds);
    if (n < 0) return ClosedOrTimedOut();
    total += n;
    if (total < length && socket_->state != SOCK_STATE_CONNECTED) return ClosedOrTimedOut();
  }
  return ReadStatus::Done;
}

ReadStatus SessionChannel::ReadToNul(std::string& text, std::size_t max_length) {
  const Clock::time_point deadline = Clock::now() + idle_limit_;
  ticket_.Arm(idle_limit_ + kWatchdogGrace);
  int chunk_size = kFirstStep;
  std::vector<char> chunk(static_cast<std::size_t>(chunk_size) + 1);
  // The memory of a long text before is not kept while the connection waits for the next one.
  text.clear();
  text.shrink_to_fit();
  for (;;) {
    int microseconds = 0;
    const int seconds = WaitSeconds(deadline, microseconds);
    if (seconds < 0) return ReadStatus::TimedOut;
    const int n = socket_->ReadToNul(chunk.data(), chunk_size, seconds, microseconds);
    if (n > 0) {
      text.append(chunk.data(), static_cast<std::size_t>(n - 1));
    } else if (n == 0) {
      text.append(chunk.data(), static_cast<std::size_t>(chunk_size));
      // A long text: larger chunks take it in fewer calls.
      chunk_size = std::min(chunk_size * 2, kChunk);
      chunk.resize(static_cast<std::size_t>(chunk_size) + 1);
    } else if (n == SOCK_TIMEOUT) {
      // What had arrived was delivered with a 0 behind it; the loop looks at the deadline.
      text.append(chunk.data(), std::strlen(chunk.data()));
    } else {
      return ClosedOrTimedOut();
    }
    if (text.size() + 1 > max_length) return ReadStatus::TooLong;
    if (n > 0) break;
  }
  ticket_.Disarm();
  return ReadStatus::Done;
}

bool SessionChannel::Send(const char* data, int length) {
  if (length <= 0) return true;  // a length of 0 would make Send look for a terminator
  if (socket_->state != SOCK_STATE_CONNECTED) return false;
  ticket_.Arm(idle_limit_);
  const int result = socket_->Send(data, length);
  ticket_.Disarm();
  return result == SOCK_SUCCESS && !ticket_.TimedOut();
}

bool SessionChannel::SendAnswer(const std::string& text) {
  return Send(text.c_str(), static_cast<int>(text.size() + 1));
}

std::string_view SessionChannel::SendFailure() const {
  return ticket_.TimedOut() ? "answer not taken within the idle limit" : "send failed";
}

void SessionChannel::LogFailure(std::string_view what, std::string_view reason) const {
  LogLine(LogPriority::Notice,
          label_ + ": " + std::string(what) + " failed: " + std::string(reason));
}

void SessionChannel::LogNotice(std::string_view what, std::string_view notice) const {
  LogLine(label_ + ": " + std::string(what) + ": " + std::string(notice));
}

void SessionChannel::LogEnd(int requests, std::string_view reason) const {
  const auto seconds = std::chrono::duration<double>(Clock::now() - opened_).count();
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f s", seconds);
  LogLine(label_ + ": closed after " + std::to_string(requests) + " request" +
          (requests == 1 ? "" : "s") + " and " + duration + " (" + std::string(reason) + ")");
}

std::string_view SessionChannel::Describe(ReadStatus status) {
  switch (status) {
    case ReadStatus::Done:
      return "done";
    case ReadStatus::Closed:
      return "peer closed";
    case ReadStatus::TimedOut:
      return "idle time-out";
    case ReadStatus::TooLong:
      return "request too long";
  }
  return "unknown";
}
