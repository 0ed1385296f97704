// Tests of the connection's waits on a server that stays silent: the time limit of every wait,
// event handling between the slices, the close request that ends a wait, and re-entry.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "Loopback.h"
#include "Recorders.h"
#include "ScriptedServer.h"
#include "TestScripts.h"
#include "dbServerConnection.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLimit = 1;  // seconds; the smallest limit Hosp.ini can give

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A loopback port whose listen queue is full: further connection attempts get no answer at
// all, as from an address that drops packets.
class BlackHole {
 public:
  BlackHole() : listener_(ListenOnLoopback(0, port_)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    // The queue takes one connection more than its backlog; these fill it.
    for (int& filler : fillers_) {
      filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
  }
  ~BlackHole() {
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
  }
  BlackHole(const BlackHole&) = delete;
  BlackHole& operator=(const BlackHole&) = delete;

  std::string PortText() const { return std::to_string(port_); }

 private:
  int port_ = 0;
  int listener_;
  int fillers_[2] = {-1, -1};
};

// One way a server can leave the client waiting, and the request that meets it.
struct SilentServer {
  const char* name;
  bool black_hole;  // the connect itself gets no answer
  bool tls;         // the scripted server speaks TLS
  bool secure;      // the client speaks TLS
  Script script;
  std::function<bool(dbServerConnection&)> request;  // after the constructor's connect
};

void PrintTo(const SilentServer& row, std::ostream* out) { *out << row.name; }

Script Silent() {
  return [](ServerPeer& peer) { peer.WaitForClose(); };
}

Script HandshakeThenSilent() {
  return [](ServerPeer& peer) {
    if (peer.AcceptHandshake()) peer.WaitForClose();
  };
}

bool Nothing(dbServerConnection&) { return false; }

const SilentServer kSilentServers[] = {
    {"TcpConnect", true, false, true, nullptr, Nothing},
    {"TlsHandshake", false, false, true, Silent(), Nothing},
    {"HandshakeAnswer", false, true, true,
     [](ServerPeer& peer) {
       Frame frame;
       if (peer.ReadFrame(frame)) peer.WaitForClose();
     },
     Nothing},
    {"TableAnswer", false, true, true, HandshakeThenSilent(),
     [](dbServerConnection& c) {
       return c.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=1");
     }},
    {"DownloadBlock", false, true, true,
     [](ServerPeer& peer) {
       Frame frame;
       if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
       peer.Send(std::string("\x10\x00\x00\x00\x21\x43\x65\x07", 8) + "half");
       peer.WaitForClose();
     },
     [](dbServerConnection& c) {
       return c.GetFile("Clients\\Pellomarquin.exe", "/tmp/hosp-silent-" + std::to_string(getpid()),
                        nullptr);
     }},
    {"FunctionAnswer", false, false, false, Silent(),
     [](dbServerConnection& c) { return c.ExchangeText("{ServerCommand:getdoctorcases}"); }},
};

class SilentServerTest : public ::testing::TestWithParam<SilentServer> {};

}  // namespace

// Each wait ends after the connection's limit with the connection marked not connected, and
// the user interface handles its events while it lasts.
TEST_P(SilentServerTest, WaitEndsAtTheLimit) {
  const SilentServer& row = GetParam();
  UiRecorder ui;
  std::unique_ptr<BlackHole> hole;
  std::unique_ptr<ScriptedServer> server;
  std::string port;
  if (row.black_hole) {
    hole = std::make_unique<BlackHole>();
    port = hole->PortText();
  } else {
    server = std::make_unique<ScriptedServer>(row.tls);
    server->Expect(row.script);
    port = server->PortText();
  }
  const auto start = Clock::now();
  dbServerConnection connection("127.0.0.1", port, row.secure ? kProgram : "", "", row.secure,
                                kLimit);
  const bool connected = connection.IsConnected();
  const bool answered = connected && row.request(connection);
  const double waited = SecondsSince(start);

  EXPECT_FALSE(answered);
  EXPECT_TRUE(connection.TimedOut);
  EXPECT_FALSE(connection.Connected);
  EXPECT_GE(waited, kLimit - 0.1);
  EXPECT_LT(waited, kLimit + 4.0);
  EXPECT_GE(ui.events, 5);  // about 20 a second
  EXPECT_EQ(connection.TimeoutText(), std::string("The ") + (row.secure ? "data" : "function") +
                                          " server did not answer within 1 second.");
}

INSTANTIATE_TEST_SUITE_P(Servers, SilentServerTest, ::testing::ValuesIn(kSilentServers),
                         [](const auto& row) { return std::string(row.param.name); });

// After a wait ran out, the next request connects again and gets its answer; a server that
// merely takes its time within the limit is waited for.
TEST(ServerWaitTest, NextRequestAfterTimeoutReconnects) {
  ScriptedServer server(true);
  server.Expect(HandshakeThenSilent());
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    std::this_thread::sleep_for(600ms);
    peer.Answer("Late=1");
  });
  dbServerConnection connection("127.0.0.1", server.PortText(), kProgram, "", true, kLimit);
  ASSERT_FALSE(connection.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=1"));
  ASSERT_TRUE(connection.TimedOut);
  ASSERT_TRUE(connection.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=2"));
  EXPECT_FALSE(connection.TimedOut);
  EXPECT_EQ(connection.AnswerList.Value("Late"), "1");
  EXPECT_EQ(server.Connections(), 2);
}

namespace {

// Cancels the waits (as closing the window does) once the wait has lasted `after`.
class CancelAfter {
 public:
  explicit CancelAfter(std::chrono::milliseconds after) {
    start_ = Clock::now();
    after_ = after;
    dbUserInterface::ProcessEvents = [] {
      if (cancelled_at_ == Clock::time_point{} && Clock::now() - start_ >= after_) {
        cancelled_at_ = Clock::now();
        dbUserInterface::CancelWaits();
      }
    };
  }
  ~CancelAfter() {
    dbUserInterface::ProcessEvents = nullptr;
    dbUserInterface::ResetWaits();
    cancelled_at_ = {};
  }
  CancelAfter(const CancelAfter&) = delete;
  CancelAfter& operator=(const CancelAfter&) = delete;

  static Clock::time_point CancelledAt() { return cancelled_at_; }

 private:
  static inline Clock::time_point start_;
  static inline std::chrono::milliseconds after_{0};
  static inline Clock::time_point cancelled_at_{};
};

}  // namespace

// A close request during a wait without limit ends it at once; afterwards the connection
// neither sends nor connects, and does not take the late answer for anything.
TEST(ServerWaitTest, CancelEndsWaitAndNothingIsSentAfter) {
  ScriptedServer server(true);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    std::this_thread::sleep_for(900ms);
    peer.Answer("Late=1");
    peer.WaitForClose();
  });
  dbServerConnection connection("127.0.0.1", server.PortText(), kProgram, "", true, -1);
  ASSERT_TRUE(connection.IsConnected());
  const std::size_t sent_before = HandshakeFrame().size();
  {
    CancelAfter cancel(300ms);
    EXPECT_FALSE(connection.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=1"));
    ASSERT_NE(CancelAfter::CancelledAt(), Clock::time_point{});
    EXPECT_LT(SecondsSince(CancelAfter::CancelledAt()), 0.5);
    EXPECT_FALSE(connection.TimedOut);
    EXPECT_FALSE(connection.Connected);
    const std::string received = server.Received(0);
    EXPECT_FALSE(connection.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=2"));
    EXPECT_FALSE(connection.ExchangeText("more"));
    EXPECT_EQ(connection.GetFileInfo("Clients\\Pellomarquin.exe"), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.Received(0), received);
    EXPECT_GT(received.size(), sent_before);  // the first request did go out
  }
  EXPECT_EQ(server.Connections(), 1);
}

// A request made by an event handler while the connection waits is refused without touching
// the connection, and the waiting request still gets its own answer.
TEST(ServerWaitTest, RequestFromInsideAWaitIsRefused) {
  ScriptedServer server(true);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    std::this_thread::sleep_for(300ms);
    peer.Answer("First=1");
    AnswerFrames({"Second=1"})(peer);
  });
  static dbServerConnection* connection = nullptr;
  static int refused = 0;
  dbServerConnection opened("127.0.0.1", server.PortText(), kProgram, "", true, kTestTimeout);
  connection = &opened;
  refused = 0;
  dbUserInterface::ProcessEvents = [] {
    NameValueList result;
    if (!connection->QueryTable("Personnel", 4, "x", "", result, "", "") && result.Empty() &&
        !connection->SendMessage(FrameType::Handshake, FrameSubtype::None, "inner")) {
      ++refused;
    }
  };
  const bool answered = opened.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=1");
  dbUserInterface::ProcessEvents = nullptr;
  ASSERT_TRUE(answered);
  EXPECT_GT(refused, 0);
  EXPECT_EQ(opened.AnswerText, "First=1");
  ASSERT_TRUE(opened.SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=2"));
  EXPECT_EQ(opened.AnswerText, "Second=1");
  EXPECT_EQ(server.Connections(), 1);
}

// "Timeout" texts: a whole number of seconds of at least 1; anything else is no limit.
TEST(ServerWaitTest, TimeoutSetting) {
  const std::pair<const char*, int> cases[] = {
      {"", -1},          {"20", 20},  {" 2 ", 2},
      {"1", 1},          {"0", -1},   {"-5", -1},
      {"2.5", -1},       {"ten", -1}, {"2147483647", 2147483647},
      {"2147483648", -1}};
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(dbServerConnection::TimeoutSetting(text), seconds) << '"' << text << '"';
  }
}
