// Listening sockets on 127.0.0.1, on ports the system chooses, for the tests' own peers.
#include "Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// A socket bound to 127.0.0.1 on a port the system chose, or -1.
int BoundSocket(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

int ListenOnLoopback(int backlog, int& port) {
  const int fd = BoundSocket(port);
  if (fd < 0 || ::listen(fd, backlog) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("cannot listen on loopback");
  }
  return fd;
}

int FreeLoopbackPort() {
  int port = 0;
  const int fd = BoundSocket(port);
  if (fd < 0) throw std::runtime_error("no free port on loopback");
  ::close(fd);
  return port;
}
