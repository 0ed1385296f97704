// A listening TCP socket bound to one IPv4 address and port.
#include "net/Listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kBacklog = 512;

sockaddr_in Resolve(const std::string& address, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the client speaks IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(address.c_str(), nullptr, &hints, &found);
  if (result != 0 || found == nullptr) {
    throw std::runtime_error("cannot resolve " + address + ": " + ::gai_strerror(result));
  }
  sockaddr_in socket_address{};
  std::memcpy(&socket_address, found->ai_addr, sizeof socket_address);
  ::freeaddrinfo(found);
  socket_address.sin_port = htons(static_cast<std::uint16_t>(port));
  return socket_address;
}

[[noreturn]] void Fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

}  // namespace

Listener::Listener(const std::string& address, int port) {
  if (port < 0 || port > 65535)
    throw std::runtime_error("port out of range: " + std::to_string(port));
  const sockaddr_in socket_address = Resolve(address, port);
  fd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd_.Valid()) Fail("socket", errno);
  const int on = 1;
  ::setsockopt(fd_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const std::string where = address + ":" + std::to_string(port);
  if (::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&socket_address),
             sizeof socket_address) != 0) {
    Fail("cannot bind " + where, errno);
  }
  if (::listen(fd_.Get(), kBacklog) != 0) Fail("cannot listen on " + where, errno);
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    Fail("getsockname", errno);
  }
  port_ = ntohs(bound.sin_port);
}

AcceptedConnection Listener::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  AcceptedConnection connection;
  connection.fd =
      UniqueFd(::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
  if (!connection.fd.Valid()) return connection;
  // Answers are small and go out in one write: waiting to coalesce them only adds latency.
  const int on = 1;
  ::setsockopt(connection.fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  connection.address = text;
  connection.port = ntohs(peer.sin_port);
  return connection;
}
