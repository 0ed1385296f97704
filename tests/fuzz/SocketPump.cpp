// The far end of a socket pair for the fuzz targets: a thread that plays a peer's bytes in
// pieces while it takes in (and keeps) whatever the near end sends.
#include "SocketPump.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RetryOnEintr.h"

namespace {

// Long enough for a sanitizer build under load, short enough that a stuck run is noticed.
constexpr int kWaitMs = 10000;
constexpr std::size_t kReadBlock = 65536;

}  // namespace

SocketPairEnds MakeSocketPair() {
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  return {ends[0], ends[1]};
}

SocketPump::SocketPump(int fd, std::string bytes, std::size_t piece, bool after_first_bytes)
    : fd_(fd),
      bytes_(std::move(bytes)),
      piece_(std::max<std::size_t>(piece, 1)),
      after_first_bytes_(after_first_bytes),
      thread_([this] { Run(); }) {}

SocketPump::~SocketPump() { Join(); }

void SocketPump::Join() {
  if (thread_.joinable()) thread_.join();
}

// Takes in what is waiting; false once the near end has closed or failed.
bool SocketPump::ReadAvailable() {
  char block[kReadBlock];
  for (;;) {
    const ssize_t n = RetryOnEintr([&] { return ::recv(fd_, block, sizeof block, MSG_DONTWAIT); });
    if (n > 0) {
      received_.append(block, static_cast<std::size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

bool SocketPump::WaitForFirstBytes() {
  pollfd entry{fd_, POLLIN, 0};
  if (::poll(&entry, 1, kWaitMs) <= 0) return false;
  return ReadAvailable() && !received_.empty();
}

void SocketPump::Run() {
  bool open = !after_first_bytes_ || WaitForFirstBytes();
  std::size_t sent = 0;
  while (open && sent < bytes_.size()) {
    pollfd entry{fd_, POLLIN | POLLOUT, 0};
    if (::poll(&entry, 1, kWaitMs) <= 0) break;
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadAvailable()) break;
    if ((entry.revents & POLLOUT) == 0) continue;
    const std::size_t count = std::min(piece_, bytes_.size() - sent);
    const ssize_t n = ::send(fd_, bytes_.data() + sent, count, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      break;
    }
  }
  ::shutdown(fd_, SHUT_WR);
  for (;;) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, kWaitMs) <= 0 || !ReadAvailable()) break;
  }
  ::close(fd_);
}
