// The memory of hospd holding 400 idle connections, read from /proc for the real server
// process: as 200 clients hold them, and as 400 connections that each announce a 1 MiB
// request or start a JSON text; measured against the same server with no connection.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DataFrame.h"
#include "HospdProcess.h"
#include "PlainSocket.h"
#include "SecureSocket.h"

namespace {

constexpr int kConnections = 400;
constexpr double kTargetMiB = 64;

using Sockets = std::vector<std::unique_ptr<PlainSocket>>;

bool SendAll(PlainSocket& socket, const std::string& bytes) {
  return socket.Send(bytes.data(), static_cast<int>(bytes.size())) == SOCK_SUCCESS;
}

// A data connection past the program's handshake, as a client leaves it between requests.
std::unique_ptr<PlainSocket> DataClient(const HospdProcess& server) {
  auto socket = std::make_unique<SecureSocket>();
  const std::string handshake = EncodeFrameHeader({23, FrameType::Handshake, FrameSubtype::None}) +
                                "ProgramID=Pellomarquin" + '\0';
  char answer[1024];
  if (socket->Connect("127.0.0.1", server.DataPort()) != SOCK_SUCCESS ||
      !SendAll(*socket, handshake) || socket->ReadToNul(answer, 1000, 10, 0) <= 0) {
    return nullptr;
  }
  return socket;
}

std::unique_ptr<PlainSocket> FunctionClient(const HospdProcess& server) {
  auto socket = std::make_unique<PlainSocket>();
  if (socket->Connect("127.0.0.1", server.FunctionPort()) != SOCK_SUCCESS) return nullptr;
  return socket;
}

struct Row {
  const char* name;
  // Opens the connections of one row; false when one could not be made.
  std::function<bool(const HospdProcess&, Sockets&)> open;
};

const Row kRows[] = {
    {"200 clients between requests (a data connection past the handshake and a function "
     "connection each)",
     [](const HospdProcess& server, Sockets& sockets) {
       for (int i = 0; i < kConnections / 2; ++i) {
         sockets.push_back(DataClient(server));
         sockets.push_back(FunctionClient(server));
       }
       return true;
     }},
    {"400 data connections past the handshake, each announcing a 1 MiB request",
     [](const HospdProcess& server, Sockets& sockets) {
       const std::string announced =
           EncodeFrameHeader({1 << 20, FrameType::Table, FrameSubtype::TableQuery});
       for (int i = 0; i < kConnections; ++i) {
         sockets.push_back(DataClient(server));
         if (!sockets.back() || !SendAll(*sockets.back(), announced)) return false;
       }
       return true;
     }},
    {"400 function connections, each with the start of a JSON text",
     [](const HospdProcess& server, Sockets& sockets) {
       for (int i = 0; i < kConnections; ++i) {
         sockets.push_back(FunctionClient(server));
         if (!sockets.back() || !SendAll(*sockets.back(), "{ServerCommand:")) return false;
       }
       return true;
     }},
};

void Measure(const Row& row) {
  // One client address here; the limits would refuse all but 32 of its connections.
  HospdProcess server({"--max-connections", "1024", "--max-connections-per-address", "1024"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double reference = static_cast<double>(server.ResidentKiB()) / 1024;
  Sockets sockets;
  if (!row.open(server, sockets)) {
    std::printf("%s: a connection failed\n", row.name);
    return;
  }
  for (const auto& socket : sockets) {
    if (!socket) {
      std::printf("%s: a connection failed\n", row.name);
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // for the server to read the last bytes
  const double held = static_cast<double>(server.ResidentKiB()) / 1024;
  std::printf(
      "%s:\n  %.1f MiB (target under %.0f), %.2f times the server with no connection "
      "(%.1f MiB); %.0f KiB per connection\n",
      row.name, held, kTargetMiB, held / reference, reference,
      (held - reference) * 1024 / kConnections);
}

}  // namespace

int main() {
  std::printf("hospd's resident memory (VmRSS) with %d idle connections\n", kConnections);
  for (const Row& row : kRows) {
    Measure(row);
    std::fflush(stdout);
  }
  return 0;
}
