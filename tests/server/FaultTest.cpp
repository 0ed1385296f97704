// Broken servers and broken peers seen from the client's connection: a data server killed
// during a download or an answer and started again, a TLS client at a plain TCP server,
// answers of 70,000 bytes without a NUL, and peers that never answer a handshake.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "DataFrame.h"
#include "Loopback.h"
#include "RawConnection.h"
#include "ScriptedServer.h"
#include "SecureSocket.h"
#include "ServerTestSupport.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kAnna = "anna.weber@hospital.example";
constexpr const char* kCasesRequest = "{ServerCommand:getdoctorcases,DoctorSeq:1001}";
constexpr const char* kRemoteBuild = "Clients\\Pellomarquin.exe";
// Far more than the system buffers between the two ends (both sockets ask for 128 KiB), so
// that a server killed at the first block cannot have handed over the whole file.
constexpr std::size_t kLargeBuild = 8u << 20;
constexpr std::size_t kNoNulBytes = 70000;
// How long a client that waits without limit must still be waiting to count as waiting.
constexpr auto kStillWaiting = 1500ms;
constexpr auto kReleaseLimit = 15s;

std::string QueryFirstLine(dbServerConnection& connection, bool& found) {
  NameValueList record;
  found = connection.QueryTable("Personnel", 4, kAnna, "", record, "", "");
  return record.Empty() ? std::string() : record[0];
}

// Kills the server when the first block of a download has arrived.
class KillAtFirstBlock : public dbProgressBar {
 public:
  explicit KillAtFirstBlock(HospdProcess& server) : server_(server) {}
  void SetMax(int maximum) override { max_ = maximum; }
  void SetPosition(int position) override {
    last_ = position;
    if (position > 0 && server_.Running()) server_.Kill();
  }
  int Max() const { return max_; }
  int Last() const { return last_; }

 private:
  HospdProcess& server_;
  int max_ = 0;
  int last_ = 0;
};

class ServerKillTest : public ::testing::Test {
 protected:
  HospdProcess server_;
};

// Opens a data connection (waiting without limit, as the client does) on its own thread and
// reports whether it connected.
std::future<bool> ConnectInBackground(int port, bool secure) {
  return std::async(std::launch::async, [port, secure] {
    dbServerConnection connection("127.0.0.1", std::to_string(port), "Pellomarquin", "", secure,
                                  -1);
    return connection.IsConnected();
  });
}

}  // namespace

// A download cut off by the server's death leaves the partial file, fails and closes the
// connection, whose rest would otherwise be read as the next answer. The next framed request
// re-connects to the restarted server and is served there; the file question then works too.
TEST_F(ServerKillTest, DownloadCutOffThenReconnects) {
  std::ofstream(server_.ClientsDir() + "/Pellomarquin.exe", std::ios::binary)
      << std::string(kLargeBuild, 'B');
  auto connection = OpenDataConnection(server_);
  ASSERT_TRUE(connection->IsConnected());
  const std::string local = server_.DataDir() + "/download.tmp";

  KillAtFirstBlock progress(server_);
  EXPECT_FALSE(connection->GetFile(kRemoteBuild, local, &progress));
  EXPECT_FALSE(server_.Running());
  EXPECT_FALSE(connection->Connected);
  EXPECT_EQ(progress.Max(), static_cast<int>(kLargeBuild));
  const auto partial = std::filesystem::file_size(local);
  EXPECT_GT(partial, 0u);
  EXPECT_LT(partial, kLargeBuild);
  EXPECT_EQ(partial, static_cast<std::uintmax_t>(progress.Last()));

  server_.Restart();
  bool found = false;
  EXPECT_EQ(QueryFirstLine(*connection, found), kAnna);
  EXPECT_TRUE(found);
  EXPECT_NE(connection->GetFileInfo(kRemoteBuild), 0);
  EXPECT_EQ(connection->FileSize, static_cast<std::int32_t>(kLargeBuild));
}

// A server that dies while the client waits for its answer fails that request; the next
// framed request re-connects to the restarted server first and is served.
TEST_F(ServerKillTest, AnswerCutOffThenReconnects) {
  auto connection = OpenDataConnection(server_);
  ASSERT_TRUE(connection->IsConnected());
  server_.Pause();
  {
    DelayedKill kill(server_);
    bool found = true;
    EXPECT_EQ(QueryFirstLine(*connection, found), "\"Error: SendMessage Failed.\"");
    EXPECT_FALSE(found);
  }
  EXPECT_FALSE(connection->Connected);

  server_.Restart();
  bool found = false;
  EXPECT_EQ(QueryFirstLine(*connection, found), kAnna);
  EXPECT_TRUE(found);
}

// The function server dies while an exchange waits for its answer: the exchange fails, and
// after the restart the next exchange opens a new connection and is answered.
TEST_F(ServerKillTest, FunctionAnswerCutOffThenReconnects) {
  auto connection = OpenFunctionConnection(server_);
  ASSERT_TRUE(connection->IsConnected());
  server_.Pause();
  {
    DelayedKill kill(server_);
    EXPECT_FALSE(connection->ExchangeText(kCasesRequest));
  }
  server_.Restart();
  ASSERT_TRUE(connection->ExchangeText(kCasesRequest));
  EXPECT_NE(connection->AnswerText.find("CaseList"), std::string::npos);
}

// A TLS client at the plain function server fails its handshake within bounded time, and the
// function server goes on serving.
TEST_F(ServerKillTest, TlsHandshakeAgainstPlainServerFails) {
  const auto started = std::chrono::steady_clock::now();
  dbServerConnection tls("127.0.0.1", std::to_string(server_.FunctionPort()), "Pellomarquin", "",
                         true, -1);
  EXPECT_FALSE(tls.IsConnected());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

  auto function = OpenFunctionConnection(server_);
  ASSERT_TRUE(function->ExchangeText(kCasesRequest));
  EXPECT_NE(function->AnswerText.find("CaseList"), std::string::npos);
}

// 70,000 bytes without a NUL reach both servers: the function server waits for the rest of
// the text and answers it whole; after the handshake, the data server closes a frame whose
// text lacks its NUL and serves a 70,001-byte frame that has one.
TEST_F(ServerKillTest, ServersTakeSeventyThousandBytesWithoutNul) {
  RawConnection function(server_.FunctionPort());
  ASSERT_TRUE(function.Send(std::string(kNoNulBytes, 'x')));
  EXPECT_EQ(function.ReadAnswer(300ms), "") << "no answer before the NUL";
  ASSERT_TRUE(function.Send(std::string(1, '\0')));
  EXPECT_EQ(function.ReadAnswer(10s), "{Error:\"No ServerCommand given.\"}");

  // Frames this large come only after the handshake: before it, a few KiB is all a
  // connection may hold.
  const std::string text(kNoNulBytes, 'k');
  const std::string handshake = FrameBytes(23, FrameType::Handshake, FrameSubtype::None,
                                           std::string("ProgramID=Pellomarquin") + '\0');
  std::string reply;
  SecureSocket broken;
  ASSERT_EQ(broken.Connect("127.0.0.1", server_.DataPort()), SOCK_SUCCESS);
  ASSERT_EQ(broken.Send(handshake.data(), static_cast<int>(handshake.size())), SOCK_SUCCESS);
  ASSERT_GT(broken.ReadToNul(reply, 4096, 10, 0), 0);
  const std::string unterminated =
      FrameBytes(kNoNulBytes + 1, FrameType::Date, FrameSubtype::None, text + "k");
  ASSERT_EQ(broken.Send(unterminated.data(), static_cast<int>(unterminated.size())), SOCK_SUCCESS);
  char answer[256];
  EXPECT_EQ(broken.ReadToNul(answer, 255, 10, 0), SOCK_DISCONNECTED);

  SecureSocket whole;
  ASSERT_EQ(whole.Connect("127.0.0.1", server_.DataPort()), SOCK_SUCCESS);
  ASSERT_EQ(whole.Send(handshake.data(), static_cast<int>(handshake.size())), SOCK_SUCCESS);
  ASSERT_GT(whole.ReadToNul(reply, 4096, 10, 0), 0);
  EXPECT_NE(reply.find("Accepted=Y"), std::string::npos) << reply;
  const std::string date =
      FrameBytes(kNoNulBytes + 1, FrameType::Date, FrameSubtype::None, text.substr(1) + 'k' + '\0');
  ASSERT_EQ(whole.Send(date.data(), static_cast<int>(date.size())), SOCK_SUCCESS);
  reply.clear();
  EXPECT_GT(whole.ReadToNul(reply, 4096, 10, 0), 0);
  EXPECT_NE(reply.find("Date="), std::string::npos) << reply;
  EXPECT_NE(server_.LogText().find("request text without its NUL"), std::string::npos);
}

namespace {

struct NoNulAnswer {
  const char* name;
  bool tls;
  bool then_close;  // otherwise the rest of the answer and its NUL follow
};

void PrintTo(const NoNulAnswer& row, std::ostream* out) { *out << row.name; }

class NoNulAnswerTest : public ::testing::TestWithParam<NoNulAnswer> {};

}  // namespace

// An answer of 70,000 bytes without a NUL (more than a chunk and more than the receive
// buffer) is read in chunks: completed later, it arrives whole; cut off, the request fails
// and the whole chunks read so far stay in AnswerText.
TEST_P(NoNulAnswerTest, AnswerIsReadInChunks) {
  const NoNulAnswer& row = GetParam();
  ScriptedServer server(row.tls);
  server.Expect([&row](ServerPeer& peer) {
    Frame frame;
    std::string text;
    if (row.tls) {
      if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    } else if (!peer.ReadText(text)) {
      return;
    }
    peer.Send(std::string(kNoNulBytes, 'a'));
    if (row.then_close) {
      peer.Close();
      return;
    }
    std::this_thread::sleep_for(100ms);  // the client is now waiting in the middle of the answer
    peer.Answer("tail");
  });
  dbServerConnection connection("127.0.0.1", server.PortText(), row.tls ? "Pellomarquin" : "", "",
                                row.tls, -1);
  ASSERT_TRUE(connection.IsConnected());
  const bool read = row.tls ? connection.SendMessage(FrameType::Table, FrameSubtype::TableQuery,
                                                     "TableName=Personnel")
                            : connection.ExchangeText(kCasesRequest);
  if (row.then_close) {
    EXPECT_FALSE(read);
    EXPECT_FALSE(connection.Connected);
    EXPECT_EQ(connection.AnswerText, std::string(MESSAGE_BUFFER_SIZE, 'a'));
  } else {
    EXPECT_TRUE(read);
    EXPECT_TRUE(connection.Connected);
    EXPECT_EQ(connection.AnswerText, std::string(kNoNulBytes, 'a') + "tail");
    EXPECT_EQ(connection.AnswerList.Count(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Peers, NoNulAnswerTest,
                         ::testing::Values(NoNulAnswer{"PlainThenNul", false, false},
                                           NoNulAnswer{"PlainThenClose", false, true},
                                           NoNulAnswer{"TlsThenNul", true, false},
                                           NoNulAnswer{"TlsThenClose", true, true}),
                         [](const auto& row) { return std::string(row.param.name); });

// A peer that takes the connection and never answers the TLS handshake keeps the client
// waiting (there is no limit by design) until the peer goes away; then Connect fails.
TEST(SilentPeerTest, UnansweredTlsHandshakeWaitsUntilThePeerGoes) {
  SilentListener listener;
  ASSERT_GT(listener.Port(), 0);
  auto connected = ConnectInBackground(listener.Port(), true);
  EXPECT_EQ(connected.wait_for(kStillWaiting), std::future_status::timeout);
  listener.Close();
  ASSERT_EQ(connected.wait_for(kReleaseLimit), std::future_status::ready);
  EXPECT_FALSE(connected.get());
}

// A data server that completes TLS but never answers the program's handshake keeps the
// client waiting until it closes the connection; then Connect fails.
TEST(SilentPeerTest, UnansweredProgramHandshakeWaitsUntilThePeerGoes) {
  std::atomic<bool> release{false};
  std::atomic<bool> frame_read{false};
  ScriptedServer server(true);
  server.Expect([&](ServerPeer& peer) {
    Frame frame;
    frame_read = peer.ReadFrame(frame) && frame.type == FrameType::Handshake;
    const auto deadline = std::chrono::steady_clock::now() + kReleaseLimit;
    while (!release && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    peer.Close();
  });
  auto connected = ConnectInBackground(server.Port(), true);
  EXPECT_EQ(connected.wait_for(kStillWaiting), std::future_status::timeout);
  EXPECT_TRUE(frame_read);
  release = true;
  ASSERT_EQ(connected.wait_for(kReleaseLimit), std::future_status::ready);
  EXPECT_FALSE(connected.get());
}
