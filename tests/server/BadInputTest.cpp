// Hostile and broken clients: each loses its own connection, and the server serves the next one.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DataFrame.h"
#include "RawConnection.h"
#include "SecureSocket.h"
#include "ServerTestSupport.h"

namespace {

using namespace std::chrono_literals;

// Idle limit 1 s (+1 s watchdog grace), so every bounded wait of the server ends well within this.
constexpr auto kCloseLimit = 6000ms;

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<HospdProcess>(std::vector<std::string>{"--idle-timeout", "1"});
  }
  // Exit status 0 proves the server neither crashed nor hung on the way out.
  void TearDown() override { EXPECT_EQ(server_->Stop(), 0) << server_->LogText(); }

  // A real client still logs in after whatever came before.
  void ExpectNormalRequestSucceeds() const {
    const auto connection = OpenDataConnection(*server_);
    NameValueList record;
    EXPECT_TRUE(
        connection->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", ""));
    const auto function = OpenFunctionConnection(*server_);
    ASSERT_TRUE(function->ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:1001}"));
    EXPECT_NE(function->AnswerText.find("CaseList"), std::string::npos);
  }

  // A TLS connection to the data server, as a client opens it, without the program's handshake.
  std::unique_ptr<SecureSocket> OpenTls() const {
    auto socket = std::make_unique<SecureSocket>();
    EXPECT_EQ(socket->Connect("127.0.0.1", server_->DataPort()), SOCK_SUCCESS);
    return socket;
  }

  std::unique_ptr<HospdProcess> server_;
};

// True when the server ends the TLS connection within the limit without answering.
bool ClosedWithoutAnswer(SecureSocket& socket) {
  char answer[256];
  const int result = socket.ReadToNul(answer, 255, static_cast<int>(kCloseLimit / 1s), 0);
  return result == SOCK_DISCONNECTED;
}

}  // namespace

// Frames with a broken length or text close their connection at once or after the idle limit.
TEST_F(BadInputTest, MalformedFramesCloseTheirConnection) {
  struct Row {
    const char* name;
    std::string bytes;
  };
  const Row rows[] = {
      {"negative length", FrameBytes(-5, FrameType::Table, FrameSubtype::TableQuery, "")},
      {"zero length", FrameBytes(0, FrameType::Handshake, FrameSubtype::None, "")},
      {"absurd length",
       FrameBytes(0x7FFFFFFF, FrameType::Table, FrameSubtype::TableQuery, "TableName=Personnel")},
      {"just over 1 MiB",
       FrameBytes((1 << 20) + 1, FrameType::Handshake, FrameSubtype::None, std::string(4096, 'x'))},
      {"over 4 KiB before the handshake",
       FrameBytes(4097, FrameType::Table, FrameSubtype::TableQuery, std::string(4096, 'x') + '\0')},
      {"text without its NUL",
       FrameBytes(12, FrameType::Handshake, FrameSubtype::None, "ProgramID=Pe")},
      {"frame cut short", FrameBytes(100, FrameType::Handshake, FrameSubtype::None, "ProgramID")},
      {"half a header", std::string("\x17\x00\x00", 3)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto socket = OpenTls();
    ASSERT_EQ(socket->Send(row.bytes.data(), static_cast<int>(row.bytes.size())), SOCK_SUCCESS);
    EXPECT_TRUE(ClosedWithoutAnswer(*socket));
  }
  ExpectNormalRequestSucceeds();
  EXPECT_NE(server_->LogText().find("bad frame length -5"), std::string::npos);
}

// Bytes that are no TLS handshake, and a handshake that stops half-way, are cut off.
TEST_F(BadInputTest, GarbageTlsHandshakeIsClosed) {
  RawConnection garbage(server_->DataPort());
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 131 + 7) % 256);
  garbage.Send(noise);
  EXPECT_TRUE(garbage.ClosedByServer(kCloseLimit));

  RawConnection stalled(server_->DataPort());
  stalled.Send(std::string("\x16\x03\x01\x40\x00\x01", 6));  // a record header promising 16 KiB
  EXPECT_TRUE(stalled.ClosedByServer(kCloseLimit));
  ExpectNormalRequestSucceeds();
  EXPECT_NE(server_->LogText().find("TLS handshake failed"), std::string::npos);
}

// Clients that connect and say nothing are closed after the idle limit, on both servers.
TEST_F(BadInputTest, SilentClientsTimeOut) {
  RawConnection silent_data(server_->DataPort());
  RawConnection silent_function(server_->FunctionPort());
  const auto silent_tls = OpenTls();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent_data.ClosedByServer(kCloseLimit));
  EXPECT_TRUE(silent_function.ClosedByServer(kCloseLimit));
  EXPECT_TRUE(ClosedWithoutAnswer(*silent_tls));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms) << "not before the idle limit";
  ExpectNormalRequestSucceeds();
}

// A flood without NUL on the function server ends at the request limit, not in memory exhaustion.
TEST_F(BadInputTest, FloodWithoutNulIsCutOff) {
  RawConnection flood(server_->FunctionPort());
  const std::string block(64 * 1024, '{');
  for (int i = 0; i < 24 && flood.Send(block); ++i) {
  }
  EXPECT_TRUE(flood.ClosedByServer(kCloseLimit));
  EXPECT_NE(server_->LogText().find("request too long"), std::string::npos);
  ExpectNormalRequestSucceeds();
}

// A client that vanishes while a large answer is on its way costs only its own connection.
TEST_F(BadInputTest, ClientVanishingMidAnswer) {
  {
    std::ofstream big(server_->ClientsDir() + "/Big.exe", std::ios::binary);
    big << std::string(8 << 20, 'B');
  }
  const std::string handshake = FrameBytes(23, FrameType::Handshake, FrameSubtype::None,
                                           std::string("ProgramID=Pellomarquin") + '\0');
  const std::string download = FrameBytes(16, FrameType::File, FrameSubtype::FileDownload,
                                          std::string("Clients\\Big.exe") + '\0');
  for (int round = 0; round < 3; ++round) {
    const auto socket = OpenTls();
    ASSERT_EQ(socket->Send(handshake.data(), static_cast<int>(handshake.size())), SOCK_SUCCESS);
    char buffer[1024];
    ASSERT_GT(socket->ReadToNul(buffer, 1000, 5, 0), 0);
    ASSERT_EQ(socket->Send(download.data(), static_cast<int>(download.size())), SOCK_SUCCESS);
    EXPECT_EQ(socket->Read(buffer, 1000, 5, 0), 1000);
  }  // each socket goes away with most of the file unread
  ExpectNormalRequestSucceeds();
}

// Over two hundred connections are served at the same time (from eight client addresses,
// each under its limit).
TEST_F(BadInputTest, ServesManyConnectionsAtOnce) {
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (int i = 0; i < 210; ++i) {
    connections.push_back(std::make_unique<RawConnection>(server_->FunctionPort(),
                                                          "127.0.0." + std::to_string(1 + i % 8)));
  }
  for (auto& connection : connections) {
    ASSERT_TRUE(
        connection->Send(std::string("{ServerCommand:getdoctorcases,DoctorSeq:1004}") + '\0'));
  }
  int answered = 0;
  for (auto& connection : connections) {
    answered += connection->ReadAnswer(5000ms).find("NoCases") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(answered, 210);
}
