// A listening TCP socket bound to one IPv4 address and port.
#pragma once

#include <string>

#include "UniqueFd.h"

struct AcceptedConnection {
  UniqueFd fd;
  std::string address;  // the peer's dotted IPv4 address
  int port = 0;
};

class Listener {
 public:
  // Binds `address` (dotted IPv4 or a host name) and `port` (0: the system chooses) and
  // listens. Throws std::runtime_error with the reason.
  Listener(const std::string& address, int port);

  int Fd() const { return fd_.Get(); }
  // The port actually bound.
  int Port() const { return port_; }
  // The next waiting connection without blocking; an invalid fd when none could be taken
  // (the reason is in errno). The accepted socket itself is blocking.
  AcceptedConnection Accept();

 private:
  UniqueFd fd_;
  int port_ = 0;
};
