// systemd's readiness and watchdog protocol, spoken by the real hospd to a socket of the test's.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "HospdProcess.h"
#include "UniqueFd.h"

namespace {

using Clock = std::chrono::steady_clock;

// The service manager's end: a datagram socket whose path goes into $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ADD_FAILURE() << "bind " << path << ": " << std::strerror(errno);
    }
  }

  // Every message that arrives within `span`.
  std::vector<std::string> Collect(Clock::duration span) const {
    std::vector<std::string> messages;
    const auto end = Clock::now() + span;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      pollfd fd{fd_.Get(), POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
      if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
      if (n > 0) messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages;
  }

 private:
  UniqueFd fd_;
};

int CountOf(const std::vector<std::string>& messages, const std::string& field) {
  int count = 0;
  for (const auto& message : messages) count += message.find(field) != std::string::npos;
  return count;
}

}  // namespace

// READY=1 once it serves, keep-alives while it serves, none while it is stopped (a hung loop),
// again once it goes on, and STOPPING=1 at the end.
TEST(ServiceNotifyTest, ReadinessAndWatchdogKeepAlives) {
  TempFolder folder;
  const NotifySocket manager(folder.Path("notify"));
  const ScopedEnvironment socket("NOTIFY_SOCKET", folder.Path("notify"));
  const ScopedEnvironment watchdog("WATCHDOG_USEC", "400000");  // keep-alives every 200 ms
  HospdProcess server;

  const auto started = manager.Collect(std::chrono::milliseconds(1200));
  ASSERT_EQ(CountOf(started, "READY=1"), 1);
  EXPECT_EQ(CountOf(started,
                    "STATUS=serving data (TLS) on 127.0.0.1:" + std::to_string(server.DataPort())),
            1);
  EXPECT_GE(CountOf(started, "WATCHDOG=1"), 4);

  server.Pause();
  manager.Collect(std::chrono::milliseconds(100));  // what was on its way
  EXPECT_EQ(CountOf(manager.Collect(std::chrono::milliseconds(1000)), "WATCHDOG=1"), 0);
  server.Resume();
  EXPECT_GE(CountOf(manager.Collect(std::chrono::milliseconds(1000)), "WATCHDOG=1"), 3);

  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(CountOf(manager.Collect(std::chrono::milliseconds(300)), "STOPPING=1"), 1);
}
