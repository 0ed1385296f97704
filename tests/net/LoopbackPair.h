// Real loopback peers for socket tests: owned descriptors, a 127.0.0.1 listener, socket pairs.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "RetryOnEintr.h"
#include "UniqueFd.h"

namespace loopback {

// A TCP listener on 127.0.0.1 with a port the system chooses.
class Listener {
 public:
  Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_.Get() < 0 || ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd_.Get(), 16) != 0 ||
        ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("loopback listener failed");
    }
    port_ = ntohs(address.sin_port);
  }

  int Port() const { return port_; }

  // The next incoming connection, or none when nobody connects within the limit.
  UniqueFd Accept(int timeout_ms = 5000) {
    pollfd entry{fd_.Get(), POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) != 1) {
      return UniqueFd();
    }
    return UniqueFd(::accept4(fd_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
  }

  // Stops listening, so connecting to Port() is refused from now on.
  void Close() { fd_.Reset(); }

 private:
  UniqueFd fd_;
  int port_ = 0;
};

// Two connected TCP descriptors over loopback.
struct TcpPair {
  UniqueFd client;
  UniqueFd server;
};

inline TcpPair MakeTcpPair() {
  Listener listener;
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(listener.Port()));
  if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("loopback connect failed");
  }
  UniqueFd server = listener.Accept();
  if (server.Get() < 0) {
    throw std::runtime_error("loopback accept failed");
  }
  return {std::move(client), std::move(server)};
}

// Two connected local stream sockets.
inline std::pair<UniqueFd, UniqueFd> MakeSocketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Writes all bytes to a raw descriptor; false when the peer is gone.
inline bool WriteAll(int fd, const void* data, std::size_t size) {
  auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = RetryOnEintr([&] { return ::send(fd, bytes, size, MSG_NOSIGNAL); });
    if (n <= 0) {
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool WriteAll(int fd, const std::string& data) {
  return WriteAll(fd, data.data(), data.size());
}

// Reads exactly `size` bytes, waiting at most `timeout_ms` for each piece; what
// arrived when the peer ended or the limit passed otherwise.
inline std::string ReadExactly(int fd, std::size_t size, int timeout_ms = 5000) {
  std::string data(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) != 1) {
      break;
    }
    ssize_t n = ::recv(fd, data.data() + got, size - got, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  return data;
}

}  // namespace loopback
