// A bare TCP connection for feeding the servers bytes no real client would send.
#include "RawConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "DataFrame.h"
#include "RetryOnEintr.h"

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

RawConnection::RawConnection(int port, const std::string& from)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in source{};
  source.sin_family = AF_INET;
  const bool bound = fd_.Valid() && ::inet_pton(AF_INET, from.c_str(), &source.sin_addr) == 1 &&
                     ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&source), sizeof source) == 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!bound || ::connect(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
}

bool RawConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n =
        RetryOnEintr([&] { return ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); });
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string RawConnection::ReadAnswer(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string answer;
  pollfd waiting{fd_.Get(), POLLIN, 0};
  while (::poll(&waiting, 1, MillisecondsLeft(deadline)) > 0) {
    char byte = 0;
    if (::recv(fd_.Get(), &byte, 1, 0) != 1) break;
    if (byte == '\0') return answer;
    answer += byte;
  }
  return {};
}

bool RawConnection::ClosedByServer(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  pollfd waiting{fd_.Get(), POLLIN, 0};
  while (::poll(&waiting, 1, MillisecondsLeft(deadline)) > 0) {
    char buffer[4096];
    const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EINTR)) return true;
  }
  return false;
}

std::string FrameBytes(int length, int type, int subtype, std::string_view text) {
  return EncodeFrameHeader({length, type, subtype}) + std::string(text);
}
