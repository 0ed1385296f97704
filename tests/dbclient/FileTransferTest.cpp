// Tests of the file size and date question and of the download into a local file.
#include "dbServerConnection.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "FileDate.h"
#include "Recorders.h"
#include "ScriptedServer.h"
#include "TestFiles.h"
#include "TestScripts.h"

namespace {

constexpr std::uint32_t kServerDate = 0x586F6DAF;  // 2024-03-15 13:45:30
const char* const kRemote = "Clients\\Pellomarquin.exe";

// The download answer: header, the first `sent` bytes of `data`, and (when whole) the closing
// answer.
Script Download(std::string data, std::size_t sent, bool close_after) {
  return [data, sent, close_after](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    if (frame.type != FrameType::File || frame.subtype != FrameSubtype::FileDownload ||
        frame.text != kRemote) {
      return;
    }
    peer.Send(EncodeDownloadHeader({static_cast<std::int32_t>(data.size()), kServerDate}));
    peer.Send(std::string_view(data).substr(0, sent));
    if (close_after) {
      peer.Close();
      return;
    }
    peer.Answer("ErrorCode=0");
    AnswerFrames({"After=1"})(peer);
  };
}

class LocalFile {
 public:
  LocalFile() : path_("/tmp/hosp-download-" + std::to_string(getpid()) + ".exe") {}
  ~LocalFile() { std::filesystem::remove(path_); }
  const std::string& Path() const { return path_; }
  std::string Contents() const { return ReadBytes(path_); }
  bool Exists() const { return std::filesystem::exists(path_); }
  void Write(const std::string& text) const { WriteBytes(path_, text); }

 private:
  std::string path_;
};

class DownloadTest : public ::testing::TestWithParam<bool> {};

// Limits the size of files this process writes, for one scope: a real write failure part-way.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Ok() const { return ok_; }

 private:
  rlimit previous_{};
  bool ok_ = false;
};

}  // namespace

// 120,000 bytes arrive in blocks with progress to 120,000 and the file carries the server's date.
TEST_P(DownloadTest, FileWithDateAndProgress) {
  UiRecorder ui;
  LocalFile file;
  file.Write("an older build that must go");
  const std::string data = Patterned(120000);
  ScriptedServer server(GetParam());
  server.Expect(Download(data, data.size(), false));
  auto connection = OpenData(server);
  ProgressRecorder progress;
  ASSERT_TRUE(connection->GetFile(kRemote, file.Path(), &progress));
  EXPECT_EQ(file.Contents(), data);
  EXPECT_EQ(static_cast<std::uint32_t>(GetFilePackedDate(file.Path())), kServerDate);
  EXPECT_EQ(progress.maxima, std::vector<int>{120000});
  ASSERT_GE(progress.positions.size(), 4u);
  EXPECT_EQ(progress.positions.front(), 0);
  EXPECT_EQ(progress.positions.back(), 120000);
  EXPECT_TRUE(std::is_sorted(progress.positions.begin(), progress.positions.end()));
  // After each block, and in every slice of waiting for one.
  EXPECT_GE(ui.events, static_cast<int>(progress.positions.size()) - 1);
  EXPECT_EQ(connection->AnswerList.Value("ErrorCode"), "0");
  // The closing answer was consumed: the next request gets its own answer.
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "next"));
  EXPECT_EQ(connection->AnswerText, "After=1");
}

// A download the local file cannot take (past the file-size limit) fails without ending the
// process and closes the connection: the next request connects again and reads its own
// answer, not the rest of the file.
TEST_P(DownloadTest, LocalWriteFailureLeavesNothingUnread) {
  LocalFile file;
  const std::string data = Patterned(120000);
  ScriptedServer server(GetParam());
  server.Expect(Download(data, data.size(), false));
  server.Expect(HandshakeThen({"Fresh=1"}));
  auto connection = OpenData(server);
  {
    FileSizeLimit limit(60000);
    ASSERT_TRUE(limit.Ok());
    EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), nullptr));
  }
  EXPECT_EQ(file.Contents(), data.substr(0, 60000));
  EXPECT_FALSE(connection->Connected);
  ASSERT_TRUE(connection->SendMessage(FrameType::Table, FrameSubtype::TableQuery, "next"));
  EXPECT_EQ(connection->AnswerText, "Fresh=1");
  EXPECT_EQ(server.Connections(), 2);
}

INSTANTIATE_TEST_SUITE_P(Transports, DownloadTest, ::testing::Bool(), TransportName);

// A 0-byte file leaves an empty local file with the server's date, and the download says false.
TEST(FileTransferTest, ZeroByteFile) {
  LocalFile file;
  ScriptedServer server(false);
  server.Expect(Download("", 0, false));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), nullptr));
  ASSERT_TRUE(file.Exists());
  EXPECT_EQ(file.Contents(), "");
  EXPECT_EQ(static_cast<std::uint32_t>(GetFilePackedDate(file.Path())), kServerDate);
  EXPECT_TRUE(connection->Connected);
}

// A connection dropped mid-download leaves the bytes received so far and false.
TEST(FileTransferTest, DroppedMidDownloadLeavesPartialFile) {
  LocalFile file;
  const std::string data = Patterned(120000);
  ScriptedServer server(false);
  server.Expect(Download(data, 70000, true));
  auto connection = OpenData(server);
  ProgressRecorder progress;
  EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), &progress));
  EXPECT_EQ(file.Contents(), data.substr(0, 70000));
  EXPECT_EQ(progress.positions.back(), 70000);
}

// A file announced as larger than the caller allows is not taken: nothing stays on disk, and
// the connection is dropped at once rather than read to its end.
TEST(FileTransferTest, OversizedFileIsRefusedAtItsHeader) {
  LocalFile file;
  file.Write("old");
  ScriptedServer server(true);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    peer.Send(EncodeDownloadHeader({100'000'000, kServerDate}));
    peer.Send(Patterned(5000));
    EXPECT_TRUE(peer.WaitForClose());
  });
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), nullptr, 4096));
  EXPECT_FALSE(file.Exists());
  EXPECT_FALSE(connection->Connected);
}

// A connection that ends before the 8-byte header arrives leaves the old file deleted and an empty
// one.
TEST(FileTransferTest, MissingHeaderFailsAfterDeletingOldFile) {
  LocalFile file;
  file.Write("old contents");
  ScriptedServer server(false);
  server.Expect([](ServerPeer& peer) {
    Frame frame;
    if (peer.AcceptHandshake() && peer.ReadFrame(frame)) {
      peer.Send("1234");
      peer.Close();
    }
  });
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), nullptr));
  EXPECT_TRUE(file.Exists());
  EXPECT_EQ(file.Contents(), "");
}

// Without a connection, and with a local path that cannot be written, nothing is sent.
TEST(FileTransferTest, FailsBeforeSending) {
  LocalFile file;
  ScriptedServer server(false);
  server.Expect(HandshakeThen({}));
  auto connection = OpenData(server);
  EXPECT_FALSE(connection->GetFile(kRemote, "/nonexistent/folder/file.exe", nullptr));
  connection->Connected = false;
  EXPECT_FALSE(connection->GetFile(kRemote, file.Path(), nullptr));
  EXPECT_FALSE(file.Exists());
  EXPECT_EQ(connection->GetFileInfo(kRemote), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(server.Received(0), HandshakeFrame());
  EXPECT_EQ(server.Connections(), 1);
}

// The size and date question sends the name and reads "FileSize" and "FileDate"; no date gives 0.
TEST(FileTransferTest, FileInfo) {
  ScriptedServer server(false);
  server.Expect(HandshakeThen({"FileSize=120000,FileDate=" + std::to_string(kServerDate),
                               "FileSize=12", "FileSize=x,FileDate=4294967295"}));
  auto connection = OpenData(server);
  EXPECT_EQ(static_cast<std::uint32_t>(connection->GetFileInfo(kRemote)), kServerDate);
  EXPECT_EQ(connection->FileSize, 120000);
  EXPECT_EQ(server.Received(0).substr(35),
            EncodeFrameHeader({25, FrameType::File, FrameSubtype::FileInfo}) + kRemote +
                std::string(1, '\0'));
  EXPECT_EQ(connection->GetFileInfo(kRemote), 0);
  EXPECT_EQ(connection->FileSize, 12);
  EXPECT_EQ(static_cast<std::uint32_t>(connection->GetFileInfo(kRemote)), 4294967295u);
  EXPECT_EQ(connection->FileSize, 0);
}
