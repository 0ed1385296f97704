// Tests of the server connection: connecting, the handshake, frames, answers and re-connection.
#include "dbServerConnection.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <poll.h>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "Recorders.h"
#include "ScriptedServer.h"
#include "SecureSocket.h"
#include "TestFiles.h"
#include "TestScripts.h"
#include "TextException.h"

namespace {

class TransportTest : public ::testing::TestWithParam<bool> {};

}  // namespace

// The handshake goes out as the exact 35-byte frame and its answer fills the fields.
TEST_P(TransportTest, HandshakeFrameIsExact) {
  ScriptedServer server(GetParam());
  server.Expect(HandshakeThen({}));
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->IsConnected());
  EXPECT_EQ(server.Received(0), HandshakeFrame());
  EXPECT_EQ(server.Received(0).size(), 35u);
  EXPECT_DOUBLE_EQ(connection->ServerDate, 45123.5);
  EXPECT_EQ(connection->RunningFolder, "C:\\Hosp");
  EXPECT_EQ(connection->RemoteIP, "127.0.0.1");
}

// A 120,000-character answer, read in chunks of 50,000, arrives whole and in order.
TEST_P(TransportTest, LongAnswerIsJoined) {
  ScriptedServer server(GetParam());
  const std::string value = Patterned(120000 - 4);
  server.Expect(HandshakeThen({"Big=" + value}));
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "Key=1"));
  EXPECT_EQ(connection->AnswerText.size(), 120000u);
  EXPECT_EQ(connection->AnswerText, "Big=" + value);
  EXPECT_EQ(connection->AnswerList.Value("Big"), value);
}

// Two answers in one packet are read one per request; the second waits in the buffer.
TEST_P(TransportTest, TwoAnswersInOnePacket) {
  ScriptedServer server(GetParam());
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    peer.Send(std::string("A=1\0B=2\0", 8));
    peer.ReadFrame(frame);
  });
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "first"));
  EXPECT_EQ(connection->AnswerText, "A=1");
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "second"));
  EXPECT_EQ(connection->AnswerText, "B=2");
  EXPECT_EQ(connection->AnswerList.Value("A"), "");
}

// An answer that does not end is cut at the cap: the request fails with a message, what was
// read is freed and the connection closed; the next request connects again.
TEST_P(TransportTest, EndlessAnswerIsCutAtTheCap) {
  UiRecorder ui;
  struct Cap {
    Cap() { dbServerConnection::MaxAnswerSize = 1 << 20; }
    ~Cap() { dbServerConnection::MaxAnswerSize = MAX_ANSWER_SIZE; }
  } cap;
  ScriptedServer server(GetParam());
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 64 && peer.Send(block); ++i) {
    }
  });
  server.Expect(HandshakeThen({"After=1"}));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "q"));
  EXPECT_FALSE(connection->Connected);
  EXPECT_LT(connection->AnswerText.capacity(), 1000u);
  EXPECT_EQ(ui.messages.size(), 1u);
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "again"));
  EXPECT_EQ(connection->AnswerText, "After=1");
}

INSTANTIATE_TEST_SUITE_P(Transports, TransportTest, ::testing::Bool(), TransportName);

// The longest text fits one 50,001-byte frame; one more character is refused with the message and
// nothing is sent.
TEST(dbServerConnectionTest, LargestFrameAndOversizedText) {
  UiRecorder ui;
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"Got=largest", "Got=small"}));
  auto connection = OpenData(server);
  const std::string largest(49988, 'x');
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::RecordUpdate, largest));
  const std::string frame = server.Received(0).substr(35);
  EXPECT_EQ(frame.size(), 50001u);
  EXPECT_EQ(frame, EncodeFrameHeader({49989, FrameType::Table, FrameSubtype::RecordUpdate}) +
                       largest + std::string(1, '\0'));

  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::RecordUpdate,
                                       std::string(49989, 'y')));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].first, "Application Error");
  EXPECT_EQ(ui.messages[0].second, "Sending a message larger than MessageBuffer");
  EXPECT_TRUE(connection->Connected);

  // The next request follows the largest one directly on the same connection.
  ASSERT_TRUE(connection->SendMessage(FrameType::Date, FrameSubtype::None, "k"));
  EXPECT_EQ(connection->AnswerText, "Got=small");
  EXPECT_EQ(
      server.Received(0).substr(35 + 50001),
      EncodeFrameHeader({2, FrameType::Date, FrameSubtype::None}) + "k" + std::string(1, '\0'));
  EXPECT_EQ(server.Connections(), 1);
}

// An empty request text is a 13-byte frame: length 1, type, subtype, one NUL.
TEST(dbServerConnectionTest, EmptyTextIsThirteenByteFrame) {
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"Date=1"}));
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->SendMessage(FrameType::Date, FrameSubtype::None, ""));
  EXPECT_EQ(server.Received(0).substr(35), std::string("\x01\0\0\0\x02\0\0\0\0\0\0\0\0", 13));
}

// An answer that is only its NUL fails the request but leaves the connection in use.
TEST(dbServerConnectionTest, LoneNulFailsWithoutTouchingConnected) {
  UiRecorder ui;
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"", "After=1"}));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "x"));
  EXPECT_TRUE(connection->Connected);
  EXPECT_TRUE(connection->AnswerText.empty());
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "y"));
  EXPECT_EQ(connection->AnswerList.Value("After"), "1");
  EXPECT_EQ(server.Connections(), 1);
}

// "Error" and "ErrorCode" are read by the comma-text rules, whatever the answer's shape.
TEST(dbServerConnectionTest, ReadsErrorFields) {
  struct Case {
    const char* answer;
    const char* error;
    int error_code;
  };
  const Case cases[] = {
      {"ErrorCode=x", "", UNREADABLE_ERROR_CODE},
      {"errorcode=5", "", 5},
      {"Error=Bad key,ErrorCode=3", "Bad", 3},
      {"\"Error=Bad key\",ErrorCode=3", "Bad key", 3},
      {"ErrorCode=-2,ERRORCODE=9", "", -2},
      {"ErrorCode=99999999999", "", UNREADABLE_ERROR_CODE},
      {"Other=1", "", 0},
  };
  std::vector<std::string> answers;
  for (const Case& c : cases) answers.emplace_back(c.answer);
  ScriptedServer server(false);
  server.Expect(HandshakeThen(answers));
  auto connection = OpenData(server);
  for (const Case& c : cases) {
    ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::RecordUpdate, "q"))
        << c.answer;
    EXPECT_EQ(connection->Error, c.error) << c.answer;
    EXPECT_EQ(connection->ErrorCode, c.error_code) << c.answer;
  }
}

// Only "Accepted" = "Y" exactly accepts; a refusal drops the socket and the server sees it closed.
TEST(dbServerConnectionTest, RefusedHandshakeDropsSocket) {
  for (const char* answer : {"Date=45000,Accepted=y", "Date=45000,Accepted=N", "Date=45000"}) {
    ScriptedServer server(false);
    server.Expect(AnswerFrames({answer}));
    auto connection = OpenData(server);
    EXPECT_FALSE(connection->IsConnected()) << answer;
    EXPECT_EQ(connection->Socket, nullptr) << answer;
    EXPECT_TRUE(WaitUntil([&] { return server.ClientClosed(0); })) << answer;
  }
}

// Without a usable "Date" the client asks the date with an empty type-2 frame and is then
// connected.
TEST(dbServerConnectionTest, DateRequestPath) {
  for (const char* first : {"RunningFolder=X,Accepted=N", "Date=0.5,RunningFolder=X,Accepted=N"}) {
    ScriptedServer server(false);
    server.Expect(AnswerFrames({first, "Date=45123.25"}));
    auto connection = OpenData(server);
    EXPECT_TRUE(connection->IsConnected()) << first;
    EXPECT_DOUBLE_EQ(connection->ServerDate, 45123.25);
    EXPECT_EQ(connection->RunningFolder, "");
    EXPECT_EQ(server.Received(0).substr(35),
              EncodeFrameHeader({1, FrameType::Date, FrameSubtype::None}) + std::string(1, '\0'));
  }
}

namespace {

// Sends its first frame for real and fails every later send.
class OneSendSocket final : public PlainSocket {
 public:
  int Send(const char* data, int length) override {
    return sends_++ == 0 ? PlainSocket::Send(data, length) : SOCK_ERROR;
  }

 private:
  int sends_ = 0;
};

}  // namespace

// A date request that fails, by its read or by its send, makes the handshake a refusal.
TEST(dbServerConnectionTest, FailedDateRequestIsRefusal) {
  ScriptedServer lone_nul(false);
  lone_nul.Expect(AnswerFrames({"Date=0,Accepted=Y", ""}));
  EXPECT_FALSE(OpenData(lone_nul)->IsConnected());

  ScriptedServer dropped(false);
  dropped.Expect([](ServerPeer& peer) {
    Frame frame;
    AnswerFrames({"Date=0,Accepted=Y"})(peer);
    peer.ReadFrame(frame);
    peer.Close();
  });
  auto connection = OpenData(dropped);
  EXPECT_FALSE(connection->IsConnected());
  EXPECT_EQ(connection->Socket, nullptr);

  // The failed send leaves the first answer's "Accepted=Y" in place; it must not count.
  SocketMakerGuard maker(
      [](bool) -> std::unique_ptr<PlainSocket> { return std::make_unique<OneSendSocket>(); });
  ScriptedServer mute(false);
  mute.Expect(AnswerFrames({"Date=0,Accepted=Y"}));
  auto unsent = OpenData(mute);
  EXPECT_FALSE(unsent->IsConnected());
  EXPECT_EQ(unsent->Socket, nullptr);
}

namespace {

// A plain socket whose Connect returns only once the server's first bytes are waiting,
// so the drain meets them for certain.
class GreetedSocket final : public PlainSocket {
 public:
  int Connect(const char* host, int port) override {
    int result = PlainSocket::Connect(host, port);
    pollfd entry{handle, POLLIN, 0};
    if (result == SOCK_SUCCESS) poll(&entry, 1, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the whole greeting land
    return result;
  }
};

}  // namespace

// Bytes the server sends before the first request are discarded before the handshake.
TEST(dbServerConnectionTest, UnsolicitedBytesDrained) {
  SocketMakerGuard maker(
      [](bool) -> std::unique_ptr<PlainSocket> { return std::make_unique<GreetedSocket>(); });
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    std::string refusals;
    for (int i = 0; i < 12; ++i) refusals += std::string("Date=45000,Accepted=N\0", 22);
    peer.Send(refusals);  // more than one drain read takes
    peer.AcceptHandshake();
  });
  auto connection = OpenData(server);
  EXPECT_TRUE(connection->IsConnected());
  EXPECT_EQ(connection->AnswerList.Value("Accepted"), "Y");
}

// A server that drops the connection mid-request is connected again before the next framed request.
TEST(dbServerConnectionTest, DroppedServerReconnectedBeforeNextFramedRequest) {
  UiRecorder ui;
  ScriptedServer server(true);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (peer.AcceptHandshake() && peer.ReadFrame(frame)) peer.Close();
  });
  server.Expect(HandshakeThen({"Second=yes"}));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "lost"));
  EXPECT_FALSE(connection->Connected);
  const int events_before = ui.events;  // waits let the user interface in as well

  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "again"));
  EXPECT_EQ(connection->AnswerList.Value("Second"), "yes");
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_GT(ui.events, events_before);  // Reconnect lets the user interface breathe
  EXPECT_EQ(server.Received(1).substr(0, 35), HandshakeFrame());
}

// A re-connection whose handshake gets an empty answer stays not connected and sends no request.
TEST(dbServerConnectionTest, EmptyHandshakeAnswerOnReconnectIsNotConnected) {
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (peer.AcceptHandshake() && peer.ReadFrame(frame)) peer.Close();
  });
  server.Expect(AnswerFrames({""}));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "lost"));
  EXPECT_FALSE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "not sent"));
  EXPECT_FALSE(connection->Connected);
  EXPECT_TRUE(server.WaitForConnections(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.Received(1), HandshakeFrame());
}

// A function-server connection sends no handshake, and after a drop the next exchange connects
// again.
TEST(dbServerConnectionTest, ExchangeTextReconnectsAfterDrop) {
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    std::string text;
    if (peer.ReadText(text) && peer.Answer("{Cases:1}") && peer.ReadText(text)) peer.Close();
  });
  server.Expect([](ServerPeer& peer) {
    std::string text;
    if (peer.ReadText(text)) peer.Answer("{Echo:\"" + text + "\"}");
  });
  auto connection = OpenFunction(server);
  ASSERT_TRUE(connection->IsConnected());
  ASSERT_TRUE(connection->ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:17}"));
  EXPECT_EQ(connection->AnswerText, "{Cases:1}");
  EXPECT_EQ(server.Received(0),
            std::string("{ServerCommand:getdoctorcases,DoctorSeq:17}") + std::string(1, '\0'));

  EXPECT_FALSE(connection->ExchangeText("{lost}"));
  EXPECT_FALSE(connection->Connected);
  ASSERT_TRUE(connection->ExchangeText("{again}"));
  EXPECT_EQ(connection->AnswerText, "{Echo:\"{again}\"}");
  EXPECT_EQ(server.Received(1), std::string("{again}") + std::string(1, '\0'));
}

// A bare text has no size limit and no header.
TEST(dbServerConnectionTest, ExchangeTextHasNoSizeLimit) {
  UiRecorder ui;
  ScriptedServer server(false);
  const std::string text = "{Big:\"" + Patterned(60000) + "\"}";
  server.Expect([](ServerPeer& peer) {
    std::string received;
    if (peer.ReadText(received)) peer.Answer(std::to_string(received.size()));
  });
  auto connection = OpenFunction(server);
  ASSERT_TRUE(connection->ExchangeText(text));
  EXPECT_EQ(connection->AnswerText, std::to_string(text.size()));
  EXPECT_TRUE(ui.messages.empty());
}

// Calling Connect on a connected object sends nothing and says true.
TEST(dbServerConnectionTest, ConnectWhenConnectedSendsNothing) {
  ScriptedServer server(false);
  server.Expect(HandshakeThen({}));
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->IsConnected());
  EXPECT_TRUE(connection->Connect());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.Received(0), HandshakeFrame());
}

// A server that has gone away still counts as connected until a send or read fails.
TEST(dbServerConnectionTest, IsConnectedTrueUntilRequestFails) {
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    if (peer.AcceptHandshake()) peer.Close();
  });
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->Connected);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(connection->IsConnected());
  EXPECT_NE(connection->Socket->state, SOCK_STATE_CONNECTED);
}

// The port text becomes a number; anything that is not a usable port gives 8700.
TEST(dbServerConnectionTest, PortTextRule) {
  const std::pair<const char*, int> cases[] = {
      {"", 8700},       {"abc", 8700},   {"12ab", 8700},       {"8123", 8123},
      {" 8123 ", 8123}, {"+443", 443},   {"0", 8700},          {"-5", 8700},
      {"65535", 65535}, {"65536", 8700}, {"4294967297", 8700}, {"1.5", 8700},
  };
  for (const auto& [text, port] : cases) {
    EXPECT_EQ(dbServerConnection::PortNumber(text), port) << '"' << text << '"';
  }
}

// A port where nobody listens fails the constructor's Connect without throwing.
TEST(dbServerConnectionTest, NobodyListeningIsNotConnected) {
  int port = 0;
  {
    ScriptedServer server(false);
    port = server.Port();
  }
  dbServerConnection connection("127.0.0.1", std::to_string(port), kProgram, "", true, 1);
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_FALSE(connection.SendMessage(FrameType::Handshake, FrameSubtype::None, "x"));
}

namespace {

int made_sockets = 0;

// Stands in for a socket whose receive buffer or TLS context cannot be made.
std::unique_ptr<PlainSocket> ThrowingMaker(bool) {
  ++made_sockets;
  throw TextException("PlainSocket::Init()::recv_buffer allocate failed");
}

// Stands in for a TLS session object that cannot be made while connecting.
class SessionlessSocket final : public PlainSocket {
 public:
  int Connect(const char*, int) override { throw TextException("Socket == INVALID_SOCKET"); }
};

// Connects for real but fails every send, as a server that takes connections and no data would.
class MuteSocket final : public PlainSocket {
 public:
  int Send(const char*, int) override { return SOCK_ERROR; }
};

}  // namespace

// An exception while the socket is made leaves the connection without a socket, and the next
// request tries again.
TEST(dbServerConnectionTest, SocketCreationExceptionLeavesNotConnected) {
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"Recovered=1"}));
  std::unique_ptr<dbServerConnection> connection;
  {
    SocketMakerGuard maker(ThrowingMaker);
    made_sockets = 0;
    ASSERT_NO_THROW(connection = OpenData(server));
    EXPECT_EQ(made_sockets, 1);
  }
  EXPECT_FALSE(connection->IsConnected());
  EXPECT_EQ(connection->Socket, nullptr);
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "x"));
  EXPECT_EQ(connection->AnswerList.Value("Recovered"), "1");
}

// An exception from the socket's own Connect is caught the same way.
TEST(dbServerConnectionTest, ConnectExceptionLeavesNotConnected) {
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"Recovered=1"}));
  std::unique_ptr<dbServerConnection> connection;
  {
    SocketMakerGuard maker(
        [](bool) -> std::unique_ptr<PlainSocket> { return std::make_unique<SessionlessSocket>(); });
    ASSERT_NO_THROW(connection = OpenData(server));
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->Socket, nullptr);
  }
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "x"));
  EXPECT_EQ(connection->AnswerList.Value("Recovered"), "1");
}

// A handshake whose send fails ends Connect with false instead of re-connecting from inside it.
TEST(dbServerConnectionTest, FailedHandshakeSendDoesNotNest) {
  UiRecorder ui;
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) { peer.WaitForClose(); });
  SocketMakerGuard maker([](bool) -> std::unique_ptr<PlainSocket> {
    ++made_sockets;
    return std::make_unique<MuteSocket>();
  });
  made_sockets = 0;
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->IsConnected());
  EXPECT_EQ(made_sockets, 1);
  EXPECT_EQ(ui.events, 0);
  EXPECT_TRUE(server.WaitForConnections(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.Connections(), 1);
}

// Sending into a connection the peer has reset fails quietly instead of ending the process.
TEST(dbServerConnectionTest, SendToClosedPeerDoesNotKillProcess) {
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // after the client's drain
    peer.Close();
  });
  auto connection = OpenFunction(server);
  ASSERT_TRUE(connection->Connected);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The first send draws a reset from the closed peer; the later ones meet it.
  const std::string text(1000, 'z');
  int result = SOCK_SUCCESS;
  for (int attempt = 0; attempt < 5 && result == SOCK_SUCCESS; ++attempt) {
    result = connection->Socket->Send(text.c_str(), static_cast<int>(text.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(result, SOCK_SUCCESS);
}

// A connection the server closed while it sat idle is noticed before the next request, which
// then goes out over a new connection instead of being lost.
TEST(dbServerConnectionTest, IdleCloseByServerNoticedBeforeNextRequest) {
  ScriptedServer server(true);
  server.Expect([](ServerPeer& peer) {
    if (peer.AcceptHandshake()) peer.Close();
  });
  server.Expect(HandshakeThen({"Second=yes"}));
  auto connection = OpenData(server);
  ASSERT_TRUE(connection->Connected);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "after idle"));
  EXPECT_EQ(connection->AnswerList.Value("Second"), "yes");
  EXPECT_EQ(server.Connections(), 2);
}

namespace {

// Points the debug log at a fresh folder for one test and switches it on.
class DebugLogGuard {
 public:
  DebugLogGuard() { dbServerConnection::DebugLogEnabled = true; }
  ~DebugLogGuard() { dbServerConnection::DebugLogEnabled = false; }
  std::string Folder() const { return folder_.Path().string(); }

 private:
  TempFolder folder_{"hosp-dblog"};
  ScopedEnvironment state_home_{"XDG_STATE_HOME", folder_.Path().string()};
};

// Whether `line` starts with a "hh:nn:ss:zzz " time stamp, digits where the digits go.
bool HasTimeStamp(std::string_view line) {
  const std::string_view shape = "00:00:00:000 ";
  if (line.size() < shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '0' ? !digit : line[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

// Switched on, the log appends time-stamped lines, with CR LF unless the line already ends with LF.
TEST(dbServerConnectionTest, DebugLogLines) {
  DebugLogGuard log;
  std::filesystem::create_directory(log.Folder() + "/hosp");
  EXPECT_EQ(dbServerConnection::DebugLogPath(), log.Folder() + "/hosp/DbDebugLog.txt");
  dbServerConnection::DebugLog("Connect::NoSocket");
  dbServerConnection::DebugLog("ends with a line feed\n");
  const std::string text = ReadBytes(dbServerConnection::DebugLogPath());
  const std::string first = "Connect::NoSocket\r\n";
  const std::string second = "ends with a line feed\n";
  ASSERT_EQ(text.size(), 2 * 13 + first.size() + second.size()) << text;
  EXPECT_TRUE(HasTimeStamp(text)) << text;
  EXPECT_EQ(text.substr(13, first.size()), first);
  EXPECT_TRUE(HasTimeStamp(std::string_view(text).substr(13 + first.size()))) << text;
  EXPECT_EQ(text.substr(2 * 13 + first.size()), second);
}

// Switched off, the log writes nothing; with its folder missing it gives up after its attempts.
TEST(dbServerConnectionTest, DebugLogOffOrFolderMissing) {
  DebugLogGuard log;
  std::filesystem::create_directory(log.Folder() + "/hosp");
  dbServerConnection::DebugLogEnabled = false;
  dbServerConnection::DebugLog("not written");
  EXPECT_FALSE(std::filesystem::exists(dbServerConnection::DebugLogPath()));

  dbServerConnection::DebugLogEnabled = true;
  std::filesystem::remove(log.Folder() + "/hosp");
  auto start = std::chrono::steady_clock::now();
  dbServerConnection::DebugLog("dropped");
  auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_GE(spent, std::chrono::milliseconds(1900));
  EXPECT_FALSE(std::filesystem::exists(log.Folder() + "/hosp"));
}
