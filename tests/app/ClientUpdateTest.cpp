// Tests of the client's self-update, in-process and with the real program replacing itself.
#include "cClientUpdate.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "BuildSignature.h"
#include "DataFrame.h"
#include "FileDate.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "LabeledEdit.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "QtText.h"
#include "ScriptedServer.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "dbServerConnection.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// While set, a rename onto this path fails with EACCES. The tests run as root on some
// machines, where no permission stops a rename, and no real fault can fail the second
// rename while leaving the complete download beside a free program name.
std::string refused_rename_target;

}  // namespace

// Takes the place of the C library's rename for this test program only.
extern "C" int rename(const char* from, const char* to) noexcept {
  if (!refused_rename_target.empty() && refused_rename_target == to) {
    errno = EACCES;
    return -1;
  }
  return ::renameat(AT_FDCWD, from, AT_FDCWD, to);
}

namespace {

const char* const kRemote = "Clients\\Pellomarquin.exe";
const char* const kRunningBuild = "the running build";
const char* const kOldBackup = "a backup left by an earlier update";

constexpr std::uint32_t Packed(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<std::uint32_t>(((year - 1980) * 512 + month * 32 + day) << 16) |
         static_cast<std::uint32_t>(hour * 2048 + minute * 32 + second / 2);
}

// Later than any build of the test program, and before 2044, where packed dates turn
// negative as signed numbers.
constexpr std::uint32_t kNewDate = Packed(2040, 6, 15, 12, 0, 0);

mode_t PermissionBits(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// The packed date of this test program, which is what cClientUpdate takes as LocalAge.
std::int32_t OwnDate() {
  return GetFilePackedDate(ToStdString(QCoreApplication::applicationFilePath()));
}

// The folder as cClientUpdate takes it: with its closing separator.
std::string FolderText(const TempFolder& folder) { return folder.Path().string() + "/"; }

// Lets this test program reap the programs that the client under test starts on their
// own: they are orphaned at once and would otherwise go to init.
void AdoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

// A process of ours (started here, or adopted as an orphan); stopped and reaped by its
// PID when the object goes.
class Process {
 public:
  explicit Process(pid_t pid = -1) : pid_(pid) {}
  ~Process() { Stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `program` with stdout and stderr going to `log`.
  static std::unique_ptr<Process> Start(const std::string& program, const std::string& log) {
    std::vector<std::string> environment{"QT_QPA_PLATFORM=offscreen"};
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string name = program;
    char* argv[] = {name.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return std::make_unique<Process>(pid);
  }

  pid_t Pid() const { return pid_; }
  std::optional<int> ExitStatus() const { return status_; }

  // True while the process runs; reaps it once it has ended.
  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    status_ = status;
    pid_ = -1;
    return false;
  }

  // Waits up to `seconds` for the process to end by itself.
  bool Ends(int seconds) {
    return WaitUntil([this] { return !Running(); }, seconds * 1000);
  }

  void Stop() {
    if (!Running()) return;
    ::kill(pid_, SIGTERM);
    if (Ends(5)) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
  std::optional<int> status_;
};

// What the stand-in build wrote about itself in "started.txt": its values by name, and
// the target of each open descriptor by number.
struct StartRecord {
  std::map<std::string, std::string> values;
  std::map<int, std::string> descriptors;
};

std::optional<StartRecord> ReadStartRecord(const fs::path& folder) {
  const fs::path path = folder / "started.txt";
  if (!fs::exists(path)) return std::nullopt;
  StartRecord record;
  std::istringstream lines(ReadBytes(path));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string name = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (name == "fd") {
      const std::size_t blank = value.find(' ');
      record.descriptors[std::stoi(value.substr(0, blank))] =
          blank == std::string::npos ? "" : value.substr(blank + 1);
    } else {
      record.values[name] = value;
    }
  }
  return record;
}

// Waits (bounded) for the stand-in build in `folder` to report its start, and adopts it.
std::unique_ptr<Process> WaitForStandIn(const fs::path& folder, StartRecord& record) {
  if (!WaitUntil([&] { return fs::exists(folder / "started.txt"); }, 15000)) return nullptr;
  record = *ReadStartRecord(folder);
  return std::make_unique<Process>(std::stoi(record.values["pid"]));
}

// Lets the stand-in build in `folder` end, and waits for it.
void Release(const fs::path& folder, Process& stand_in) {
  WriteBytes(folder / "release", "");
  EXPECT_TRUE(stand_in.Ends(10));
}

// What a file of the update holds, in words.
std::string Holds(const fs::path& path, const std::string& new_build) {
  if (!fs::exists(path)) return "nothing";
  if (fs::is_directory(path)) return "a folder";
  const std::string bytes = ReadBytes(path);
  if (bytes.empty()) return "an empty file";
  if (bytes == kRunningBuild) return "the running build";
  if (bytes == kOldBackup) return "the old backup";
  if (bytes == new_build) return "the new build";
  return "something else";
}

std::string FirstRenameMessage(const std::string& f) {
  return "Unable to complete update.  You will need to manually\n"
         "rename " +
         f + "Pellomarquin.exe to " + f +
         "Pellomarquin.bak\n"
         "Then rename " +
         f + "Pellomarquin.tmp to " + f +
         "Pellomarquin.exe\n"
         "After that you can restart this program.";
}

std::string SecondRenameMessage(const std::string& f) {
  return "Unable to complete update.  You will need to manually\n"
         "rename " +
         f + "Pellomarquin.tmp to " + f +
         "Pellomarquin.exe\n"
         "After that you can restart this program.";
}

// A message box as the update showed it, with whether the busy cursor was still up.
struct RenameMessage {
  std::string text;
  std::string caption;
  MessageButtons buttons;
  bool busy_cursor;
};

// Answers the message boxes with OK and keeps them.
class RecordedMessages {
 public:
  RecordedMessages() {
    MessageBox::SetHandler(
        [this](const std::string& text, const std::string& caption, MessageButtons buttons) {
          shown.push_back({text, caption, buttons, QApplication::overrideCursor() != nullptr});
          return MessageAnswer::Ok;
        });
  }
  ~RecordedMessages() { MessageBox::SetHandler(nullptr); }
  RecordedMessages(const RecordedMessages&) = delete;
  RecordedMessages& operator=(const RecordedMessages&) = delete;

  std::vector<RenameMessage> shown;
};

// Whether the busy cursor was up while the download moved the progress bar.
class CursorDuringDownload {
 public:
  explicit CursorDuringDownload(QProgressBar* bar) {
    QObject::connect(bar, &QProgressBar::valueChanged, bar, [this](int) {
      const QCursor* cursor = QApplication::overrideCursor();
      busy = busy || (cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    });
  }
  bool busy = false;
};

void DropOverrideCursors() {
  while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
}

// ---------------------------------------------------------------------------------------
// cClientUpdate against scripted data servers.

// A scripted data server that answers the date question with `info_answer`, then refuses
// the download (an empty file) after checking that it asks for `remote`.
Script InfoThenEmptyDownload(std::string info_answer, std::string remote) {
  return [info_answer, remote](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame) || !peer.Answer(info_answer)) return;
    if (!peer.ReadFrame(frame) || frame.type != FrameType::File ||
        frame.subtype != FrameSubtype::FileDownload || frame.text != remote) {
      return;
    }
    peer.Send(EncodeDownloadHeader({0, kNewDate}));
    peer.Answer("ErrorCode=0");
  };
}

std::unique_ptr<dbServerConnection> Connect(const ScriptedServer& server) {
  return std::make_unique<dbServerConnection>("127.0.0.1", server.PortText(), "Pellomarquin", "",
                                              server.Tls(), 10);
}

struct DecisionRow {
  std::string name;
  std::function<std::string(std::int32_t own_date)> answer;
  bool update_needed;
};

void PrintTo(const DecisionRow& row, std::ostream* out) { *out << row.name; }

class cClientUpdateDecisionTest : public ::testing::TestWithParam<DecisionRow> {};

// The constructor asks for "Clients\Pellomarquin.exe" and wants an update only for a date
// later than the running program's; the indicator and the button show only then.
TEST_P(cClientUpdateDecisionTest, ComparesTheServerDateWithTheRunningProgram) {
  const std::int32_t own_date = OwnDate();
  ASSERT_GT(own_date, 0);
  ScriptedServer server(true);
  server.Expect(InfoThenEmptyDownload(GetParam().answer(own_date), kRemote));
  auto connection = Connect(server);
  QLabel indicator;
  QPushButton button;
  indicator.hide();
  button.hide();

  const cClientUpdate update(connection.get(), kRemote, "/nowhere/", &indicator, &button, nullptr);

  EXPECT_EQ(update.UpdateNeeded, GetParam().update_needed);
  EXPECT_EQ(update.LocalAge, own_date);
  EXPECT_EQ(update.ExeName, "");
  EXPECT_EQ(update.RemoteFile, kRemote);
  EXPECT_EQ(update.LocalFolder, "/nowhere/");
  EXPECT_EQ(indicator.isHidden(), !GetParam().update_needed);
  EXPECT_EQ(button.isHidden(), !GetParam().update_needed);
  EXPECT_NE(server.Received(0).find(EncodeFrame(FrameType::File, FrameSubtype::FileInfo, kRemote)),
            std::string::npos);
}

// The date question's answer as a row gives it, from the running program's date.
std::function<std::string(std::int32_t)> OwnDatePlus(int offset) {
  return
      [offset](std::int32_t own) { return "FileSize=9,FileDate=" + std::to_string(own + offset); };
}

std::function<std::string(std::int32_t)> Fixed(std::string answer) {
  return [answer](std::int32_t) { return answer; };
}

INSTANTIATE_TEST_SUITE_P(
    Dates, cClientUpdateDecisionTest,
    ::testing::Values(DecisionRow{"Newer", OwnDatePlus(1), true},
                      DecisionRow{"Equal", OwnDatePlus(0), false},
                      DecisionRow{"Older", OwnDatePlus(-1), false},
                      DecisionRow{"Zero", Fixed("FileSize=9,FileDate=0"), false},
                      DecisionRow{"Missing", Fixed("FileSize=9"), false},
                      DecisionRow{"NotANumber", Fixed("FileSize=9,FileDate=soon"), false}),
    RowName());

// Without a connection to the data server there is no date, hence no update.
TEST(cClientUpdateTest, NoUpdateWithoutConnection) {
  dbServerConnection connection("127.0.0.1", ClosedPort(), "Pellomarquin", "", true, 10);
  ASSERT_FALSE(connection.IsConnected());
  QLabel indicator;
  indicator.hide();
  const cClientUpdate update(&connection, kRemote, "/nowhere/", &indicator, nullptr, nullptr);
  EXPECT_FALSE(update.UpdateNeeded);
  EXPECT_TRUE(indicator.isHidden());
}

// The update button runs PerformUpdate, which hides the button and the indicator and shows
// the progress bar; the destructor hides all three and cuts the button loose.
TEST(cClientUpdateTest, ButtonRunsTheUpdateWhileTheObjectLives) {
  TempFolder folder;
  ScriptedServer server(true);
  server.Expect(InfoThenEmptyDownload("FileDate=" + std::to_string(kNewDate), kRemote));
  auto connection = Connect(server);
  QLabel indicator;
  QPushButton button;
  QProgressBar bar;
  for (QWidget* widget : std::initializer_list<QWidget*>{&indicator, &button, &bar}) widget->hide();
  RecordedMessages messages;

  auto update = std::make_unique<cClientUpdate>(connection.get(), kRemote, FolderText(folder),
                                                &indicator, &button, &bar);
  ASSERT_TRUE(update->UpdateNeeded);
  EXPECT_TRUE(bar.isHidden());
  button.click();

  EXPECT_EQ(update->ExeName, "Pellomarquin.exe");
  EXPECT_TRUE(button.isHidden());
  EXPECT_TRUE(indicator.isHidden());
  EXPECT_FALSE(bar.isHidden());
  EXPECT_NE(
      server.Received(0).find(EncodeFrame(FrameType::File, FrameSubtype::FileDownload, kRemote)),
      std::string::npos);
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  indicator.show();
  button.show();
  update.reset();
  EXPECT_TRUE(indicator.isHidden());
  EXPECT_TRUE(button.isHidden());
  EXPECT_TRUE(bar.isHidden());

  const std::string received = server.Received(0);
  button.click();
  EXPECT_EQ(server.Received(0), received);
  EXPECT_EQ(server.Connections(), 1);
}

struct NameRow {
  std::string name;
  std::string remote;
  std::string exe_name;
  std::string download;
};

void PrintTo(const NameRow& row, std::ostream* out) { *out << row.name; }

class cClientUpdateNameTest : public ::testing::TestWithParam<NameRow> {};

// ExeName is the text after the last "\", "/" or ":" of the remote name, and the download
// is named after it without its four-character extension.
TEST_P(cClientUpdateNameTest, NamesTheFilesAfterTheRemoteName) {
  TempFolder folder;
  ScriptedServer server(true);
  server.Expect(InfoThenEmptyDownload("FileDate=" + std::to_string(kNewDate), GetParam().remote));
  auto connection = Connect(server);
  RecordedMessages messages;

  cClientUpdate update(connection.get(), GetParam().remote, FolderText(folder), nullptr, nullptr,
                       nullptr);
  ASSERT_TRUE(update.UpdateNeeded);
  update.PerformUpdate();

  EXPECT_EQ(update.ExeName, GetParam().exe_name);
  // The server sent an empty file: a failed download, which leaves it in place silently.
  EXPECT_EQ(Holds(folder.Path() / GetParam().download, ""), "an empty file");
  EXPECT_EQ(GetFilePackedDate((folder.Path() / GetParam().download).string()),
            static_cast<std::int32_t>(kNewDate));
  EXPECT_TRUE(messages.shown.empty());
  EXPECT_FALSE(HospApplication::Terminated());
}

INSTANTIATE_TEST_SUITE_P(
    RemoteNames, cClientUpdateNameTest,
    ::testing::Values(NameRow{"Backslash", "Clients\\Pellomarquin.exe", "Pellomarquin.exe",
                              "Pellomarquin.tmp"},
                      NameRow{"Slashes", "Clients/Builds/Other.exe", "Other.exe", "Other.tmp"},
                      NameRow{"DriveColon", "C:Drive.exe", "Drive.exe", "Drive.tmp"},
                      NameRow{"LastSeparatorWins", "Clients/a\\b:Last.bin", "Last.bin", "Last.tmp"},
                      NameRow{"NoFolder", "Plain.exe", "Plain.exe", "Plain.tmp"}),
    RowName());

// ---------------------------------------------------------------------------------------
// PerformUpdate's outcomes on real files, against the reference server.

// The running build and an old backup in a folder of their own, a connection to a reference
// server (one per suite) and the new build to offer there.
template <typename Row>
class PerformUpdateTest : public ::testing::TestWithParam<Row> {
 public:
  static void SetUpTestSuite() {
    AdoptOrphans();
    hospd_ = std::make_unique<HospdProcess>();
  }
  static void TearDownTestSuite() { hospd_.reset(); }

  fs::path Published(const std::string& suffix = "") const {
    return fs::path(hospd_->ClientsDir()) / ("Pellomarquin.exe" + suffix);
  }
  fs::path Local(const std::string& name) const { return folder_.Path() / name; }
  std::string LocalText() const { return FolderText(folder_); }

 protected:
  void SetUp() override {
    HospApplication::ClearTerminate();
    new_build_ = ReadBytes(FAKE_CLIENT_BUILD);
    ASSERT_FALSE(new_build_.empty());
    WriteBytes(Local("Pellomarquin.exe"), kRunningBuild);
    fs::permissions(Local("Pellomarquin.exe"), fs::perms(0750));
    WriteBytes(Local("Pellomarquin.bak"), kOldBackup);
    connection_ = std::make_unique<dbServerConnection>(
        "127.0.0.1", std::to_string(hospd_->DataPort()), "Pellomarquin", "", true, 10);
    bar_.setRange(0, 100);
    bar_.setValue(0);
    bar_.hide();
  }

  void TearDown() override {
    refused_rename_target.clear();
    if (stand_in_) Release(folder_.Path(), *stand_in_);
    std::error_code ignored;
    fs::remove(Published(), ignored);
    fs::remove(Published(".sig"), ignored);
    DropOverrideCursors();
    HospApplication::ClearTerminate();
  }

  static inline std::unique_ptr<HospdProcess> hospd_;
  TempFolder folder_;

 public:
  std::string new_build_;

 protected:
  std::unique_ptr<dbServerConnection> connection_;
  QProgressBar bar_;
  RecordedMessages messages_;
  std::unique_ptr<Process> stand_in_;
};

class UpdateOutcomeTest;

struct OutcomeRow {
  std::string name;
  // Runs after the constructor has found the update and before PerformUpdate.
  std::function<void(UpdateOutcomeTest&)> arrange;
  int message;  // 0 none, 1 the first rename message, 2 the second
  std::string exe;
  std::string tmp;
  std::string bak;
  bool restarts;
};

void PrintTo(const OutcomeRow& row, std::ostream* out) { *out << row.name; }

class UpdateOutcomeTest : public PerformUpdateTest<OutcomeRow> {
 protected:
  // The new build, readable by all and dated later than any running build.
  void SetUp() override {
    PerformUpdateTest::SetUp();
    if (HasFatalFailure()) return;
    WriteBytes(Published(), new_build_);
    fs::permissions(Published(), fs::perms(0644));
    ASSERT_TRUE(SetFilePackedDate(Published().string(), kNewDate));
  }
};

// The files, the message, the cursor and the restart after each outcome of PerformUpdate.
TEST_P(UpdateOutcomeTest, LeavesTheFilesAsTheOutcomeSays) {
  const OutcomeRow& row = GetParam();
  CursorDuringDownload cursor(&bar_);
  {
    cClientUpdate update(connection_.get(), kRemote, LocalText(), nullptr, nullptr, &bar_);
    ASSERT_TRUE(update.UpdateNeeded);
    if (row.arrange) row.arrange(*this);
    update.PerformUpdate();
    EXPECT_EQ(bar_.isHidden(), row.restarts);
  }
  EXPECT_TRUE(bar_.isHidden());

  EXPECT_EQ(Holds(Local("Pellomarquin.exe"), new_build_), row.exe);
  EXPECT_EQ(Holds(Local("Pellomarquin.tmp"), new_build_), row.tmp);
  EXPECT_EQ(Holds(Local("Pellomarquin.bak"), new_build_), row.bak);
  for (const char* name : {"Pellomarquin.exe", "Pellomarquin.tmp"}) {
    if (Holds(Local(name), new_build_) != "the new build") continue;
    EXPECT_EQ(GetFilePackedDate(Local(name).string()), static_cast<std::int32_t>(kNewDate)) << name;
    EXPECT_EQ(PermissionBits(Local(name)), 0750) << name;
    EXPECT_EQ(bar_.maximum(), static_cast<int>(new_build_.size()));
    EXPECT_EQ(bar_.value(), static_cast<int>(new_build_.size()));
    EXPECT_TRUE(cursor.busy);
  }

  const std::vector<std::string> texts{"", FirstRenameMessage(LocalText()),
                                       SecondRenameMessage(LocalText())};
  ASSERT_EQ(messages_.shown.size(), row.message == 0 ? 0u : 1u);
  if (row.message != 0) {
    EXPECT_EQ(messages_.shown[0].text, texts[static_cast<std::size_t>(row.message)]);
    EXPECT_EQ(messages_.shown[0].caption, "Program rename error");
    EXPECT_EQ(messages_.shown[0].buttons, MessageButtons::Ok);
    EXPECT_FALSE(messages_.shown[0].busy_cursor);
  }
  if (!row.restarts) {
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  }

  EXPECT_EQ(HospApplication::Terminated(), row.restarts);
  if (row.restarts) {
    StartRecord record;
    stand_in_ = WaitForStandIn(folder_.Path(), record);
    ASSERT_NE(stand_in_, nullptr) << "the new build was not started";
    EXPECT_EQ(record.values["args"], "0");
  } else {
    EXPECT_FALSE(fs::exists(Local("started.txt")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, UpdateOutcomeTest,
    ::testing::Values(
        OutcomeRow{"Success", nullptr, 0, "the new build", "nothing", "the running build", true},
        OutcomeRow{"DownloadFailed", [](UpdateOutcomeTest& test) { fs::remove(test.Published()); },
                   0, "the running build", "an empty file", "the old backup", false},
        OutcomeRow{"FirstRenameBlockedByFolder",
                   [](UpdateOutcomeTest& test) {
                     fs::remove(test.Local("Pellomarquin.bak"));
                     fs::create_directory(test.Local("Pellomarquin.bak"));
                     WriteBytes(test.Local("Pellomarquin.bak") / "kept", "");
                   },
                   1, "the running build", "the new build", "a folder", false},
        OutcomeRow{"FirstRenameFailed",
                   [](UpdateOutcomeTest& test) {
                     refused_rename_target = test.Local("Pellomarquin.bak").string();
                   },
                   1, "the running build", "the new build", "nothing", false},
        OutcomeRow{"SecondRenameFailed",
                   [](UpdateOutcomeTest& test) {
                     refused_rename_target = test.Local("Pellomarquin.exe").string();
                   },
                   2, "nothing", "the new build", "the running build", false}),
    RowName());

// ---------------------------------------------------------------------------------------
// Signed builds: PerformUpdate with a public key, against builds published by hospd.

// Every entry of a folder: its bytes, modification time and permission bits.
std::map<std::string, std::string> FolderState(const fs::path& folder) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    state[entry.path().filename().string()] =
        ReadBytes(entry.path()) + "|" + std::to_string(info.st_mtim.tv_sec) + "." +
        std::to_string(info.st_mtim.tv_nsec) + "|" + std::to_string(info.st_mode);
  }
  return state;
}

class SignedUpdateTest;

struct SignedRow {
  std::string name;
  // Publishes the new build on the server in its own way.
  std::function<void(SignedUpdateTest&)> publish;
  bool installs;
};

void PrintTo(const SignedRow& row, std::ostream* out) { *out << row.name; }

class SignedUpdateTest : public PerformUpdateTest<SignedRow> {
 public:
  static void SetUpTestSuite() {
    PerformUpdateTest::SetUpTestSuite();
    keys_ = std::make_unique<TempFolder>();
    std::string error;
    ASSERT_TRUE(BuildSignature::MakeKeyPair(Key("publisher.key"), Key("publisher.pem"), error))
        << error;
    ASSERT_TRUE(BuildSignature::MakeKeyPair(Key("other.key"), Key("other.pem"), error)) << error;
    ASSERT_TRUE(BuildSignature::MakeKeyPair(Key("second.key"), Key("second.pem"), error)) << error;
  }
  static void TearDownTestSuite() {
    PerformUpdateTest::TearDownTestSuite();
    keys_.reset();
  }

  static std::string Key(const std::string& name) { return keys_->Path(name); }
  // `hospd publish` of the new build, signed with `key` unless it is empty.
  void PublishWith(const std::string& key) {
    WriteBytes(upload_.Path() / "Pellomarquin.exe", new_build_);
    std::vector<std::string> command{"publish", upload_.Path("Pellomarquin.exe"), "--data",
                                     hospd_->DataDir()};
    if (!key.empty()) command.insert(command.end(), {"--key", Key(key)});
    const CommandOutcome published = RunHospd(command);
    ASSERT_EQ(published.status, 0) << published.err;
  }

 protected:
  static inline std::unique_ptr<TempFolder> keys_;
  TempFolder upload_;
};

// With two public keys, only a build with a valid statement signed by either is installed; any
// other leaves the installation exactly as it was (names, bytes, dates, permissions), tells the
// user, and goes on to the login.
TEST_P(SignedUpdateTest, InstallsOnlyAVerifiedBuild) {
  const SignedRow& row = GetParam();
  row.publish(*this);
  const auto before = FolderState(folder_.Path());
  {
    cClientUpdate update(connection_.get(), kRemote, LocalText(), nullptr, nullptr, &bar_);
    update.PublicKeyFiles = {Key("publisher.pem"), Key("second.pem")};
    ASSERT_TRUE(update.UpdateNeeded);
    update.PerformUpdate();
  }
  EXPECT_EQ(HospApplication::Terminated(), row.installs);
  EXPECT_EQ(QApplication::overrideCursor() != nullptr, row.installs);
  if (row.installs) {
    EXPECT_EQ(Holds(Local("Pellomarquin.exe"), new_build_), "the new build");
    EXPECT_EQ(Holds(Local("Pellomarquin.bak"), new_build_), "the running build");
    EXPECT_FALSE(fs::exists(Local("Pellomarquin.sig")));
    EXPECT_TRUE(messages_.shown.empty());
    StartRecord record;
    stand_in_ = WaitForStandIn(folder_.Path(), record);
    EXPECT_NE(stand_in_, nullptr) << "the new build was not started";
    return;
  }
  EXPECT_EQ(FolderState(folder_.Path()), before);
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text,
            "The new version could not be verified and was not installed.");
  EXPECT_EQ(messages_.shown[0].caption, "Program rename error");
  EXPECT_EQ(messages_.shown[0].buttons, MessageButtons::Ok);
  EXPECT_FALSE(messages_.shown[0].busy_cursor);
  // The connection stays usable for the login (a refused oversized signature has it opened
  // anew by the login's query).
  NameValueList record;
  EXPECT_TRUE(
      connection_->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", ""))
      << connection_->FailureReason;
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, SignedUpdateTest,
    ::testing::Values(
        SignedRow{"SignedBuild", [](SignedUpdateTest& test) { test.PublishWith("publisher.key"); },
                  true},
        SignedRow{"SignedWithTheSecondKey",
                  [](SignedUpdateTest& test) { test.PublishWith("second.key"); }, true},
        SignedRow{"SignatureMissing", [](SignedUpdateTest& test) { test.PublishWith(""); }, false},
        SignedRow{"WrongSignature",
                  [](SignedUpdateTest& test) {
                    test.PublishWith("publisher.key");
                    std::string statement = ReadBytes(test.Published(".sig"));
                    statement[statement.size() - 2] =
                        statement[statement.size() - 2] == 'a' ? 'b' : 'a';
                    WriteBytes(test.Published(".sig"), statement);
                  },
                  false},
        // The raw signature of the build alone, as earlier versions wrote it: it signs no
        // date, so it would let any older build in again.
        SignedRow{"BareSignatureOfEarlierVersions",
                  [](SignedUpdateTest& test) {
                    test.PublishWith("");
                    std::string error;
                    WriteBytes(test.Published(".sig"),
                               BuildSignature::Sign(SignedUpdateTest::Key("publisher.key"),
                                                    test.new_build_, error));
                  },
                  false},
        // A build signed earlier, offered under a later date than it was signed with.
        SignedRow{"OlderBuildAnnouncedAsNewer",
                  [](SignedUpdateTest& test) {
                    test.PublishWith("publisher.key");
                    ASSERT_TRUE(SetFilePackedDate(test.Published().string(), kNewDate));
                  },
                  false},
        SignedRow{"OversizedSignature",
                  [](SignedUpdateTest& test) {
                    test.PublishWith("publisher.key");
                    WriteBytes(test.Published(".sig"), std::string(1 << 20, 'S'));
                  },
                  false},
        SignedRow{"SignedWithAnotherKey",
                  [](SignedUpdateTest& test) { test.PublishWith("other.key"); }, false},
        SignedRow{"BuildChangedAfterSigning",
                  [](SignedUpdateTest& test) {
                    test.PublishWith("publisher.key");
                    std::string changed = ReadBytes(test.Published());
                    changed[changed.size() / 2] ^= 1;
                    WriteBytes(test.Published(), changed);
                  },
                  false}),
    RowName());

// ---------------------------------------------------------------------------------------
// Probation: the new build must show its login window in time, or the previous one returns.

struct ProbationRow {
  std::string name;
  std::string script_end;  // what the stand-in build does after noting its PID
};

void PrintTo(const ProbationRow& row, std::ostream* out) { *out << row.name; }

class ProbationTest : public PerformUpdateTest<ProbationRow> {};

// A new build that ends at once, or never shows its login window, is ended within the
// probation; the previous build is back in place, the user is told, the previous build is
// started in place of this one, and the failed build is not installed again.
TEST_P(ProbationTest, BrokenBuildIsRolledBackAndNotInstalledAgain) {
  constexpr int kProbation = 3;
  const std::string script =
      "#!/bin/sh\necho $$ >\"$(dirname \"$0\")/pid\"\n" + GetParam().script_end;
  WriteBytes(Published(), script);
  ASSERT_TRUE(SetFilePackedDate(Published().string(), kNewDate));
  const auto start = std::chrono::steady_clock::now();
  {
    cClientUpdate update(connection_.get(), kRemote, LocalText(), nullptr, nullptr, &bar_);
    update.Probation = kProbation;
    ASSERT_TRUE(update.UpdateNeeded);
    update.PerformUpdate();
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took.count(), kProbation + 2.0);

  EXPECT_EQ(Holds(Local("Pellomarquin.exe"), script), "the running build");
  EXPECT_FALSE(fs::exists(Local("Pellomarquin.bak")));
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text,
            "The new version did not start and the previous version was restored.");
  EXPECT_EQ(HospApplication::Terminated(), true);
  const pid_t stand_in = std::stoi(ReadBytes(Local("pid")));
  EXPECT_NE(::kill(stand_in, 0), 0) << "the new build still runs";

  HospApplication::ClearTerminate();
  const cClientUpdate again(connection_.get(), kRemote, LocalText(), nullptr, nullptr, nullptr);
  EXPECT_FALSE(again.UpdateNeeded);
}

INSTANTIATE_TEST_SUITE_P(Builds, ProbationTest,
                         ::testing::Values(ProbationRow{"EndsAtOnce", "exit 0\n"},
                                           ProbationRow{"NeverShowsItsWindow", "exec sleep 30\n"}),
                         RowName());

// ---------------------------------------------------------------------------------------
// The login window's update check.

class LoginUpdateTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    saved_program_folder_ = ProgramFolder;
    BuildWindows();
    ProgramFolder = FolderText(folder_);  // the update works beside "the running program" here
    WriteBytes(folder_.Path() / "Pellomarquin.exe", kRunningBuild);
    WriteBytes(folder_.Path() / "Pellomarquin.bak", kOldBackup);
  }
  void TearDown() override {
    ClientTest::TearDown();
    ProgramFolder = saved_program_folder_;
    DropOverrideCursors();
  }

  std::string LocalHolds(const std::string& name) const { return Holds(folder_.Path() / name, ""); }

  // The edits and the button are where the mouse reaches them: shown, and not covered.
  void ExpectLoginUsable() const {
    const std::vector<std::pair<const char*, QWidget*>> controls{
        {"UserEdit", login_->UserEdit},
        {"PasswordEdit", login_->PasswordEdit},
        {"LoginButton", login_->LoginButton}};
    for (const auto& [name, control] : controls) {
      EXPECT_TRUE(control->isVisible()) << name;
      EXPECT_EQ(login_->childAt(control->geometry().center()), control) << name << " is covered";
    }
  }

  TempFolder folder_;
  std::string saved_program_folder_;
};

// A download that breaks off: no message, the partial download stays, the running build
// and the backup are untouched, and the login window can be used as without an update;
// the update panel showed "Updating To Newer Version" and the busy cursor meanwhile.
TEST_F(LoginUpdateTest, BrokenDownloadGoesOnToTheLogin) {
  constexpr std::uint32_t kSize = 100000;
  constexpr std::size_t kSent = 30000;
  ScriptedServer data(true);
  ScriptedServer function(false);
  data.Expect([](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    peer.Answer("FileSize=" + std::to_string(kSize) + ",FileDate=" + std::to_string(kNewDate));
    if (!peer.ReadFrame(frame)) return;
    peer.Send(EncodeDownloadHeader({kSize, kNewDate}) + std::string(kSent, 'x'));
    peer.Close();
  });
  function.Expect([](ServerPeer& peer) { peer.WaitForClose(); });
  bool panel_showed = false;
  CursorDuringDownload cursor(login_->UpdateProgressBar);
  QObject::connect(login_->UpdateProgressBar, &QProgressBar::valueChanged, login_.get(), [&](int) {
    panel_showed = login_->UpdateIndicatorPanel->isVisible() &&
                   login_->UpdateIndicatorPanel->text() == "Updating To Newer Version";
  });

  ASSERT_TRUE(ShowLoginWindow(data.PortText(), function.PortText()));

  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(ReadBytes(folder_.Path() / "Pellomarquin.tmp"), std::string(kSent, 'x'));
  EXPECT_EQ(LocalHolds("Pellomarquin.exe"), "the running build");
  EXPECT_EQ(LocalHolds("Pellomarquin.bak"), "the old backup");
  EXPECT_NE(
      data.Received(0).find(EncodeFrame(FrameType::File, FrameSubtype::FileDownload, kRemote)),
      std::string::npos);
  EXPECT_TRUE(panel_showed);
  EXPECT_TRUE(cursor.busy);
  EXPECT_FALSE(login_->UpdateIndicatorPanel->isVisible());
  ExpectLoginUsable();
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(login_->isVisible());
  EXPECT_FALSE(HospApplication::Terminated());
}

// A rename that fails (a folder stands where the running build should be kept): once its
// message has been answered the login window can be used as without an update.
TEST_F(LoginUpdateTest, FailedRenameLeavesTheLoginUsable) {
  HospdProcess hospd;
  const fs::path published = fs::path(hospd.ClientsDir()) / "Pellomarquin.exe";
  WriteBytes(published, "a newer build");
  ASSERT_TRUE(SetFilePackedDate(published.string(), kNewDate));
  fs::remove(folder_.Path() / "Pellomarquin.bak");
  fs::create_directory(folder_.Path() / "Pellomarquin.bak");
  WriteBytes(folder_.Path() / "Pellomarquin.bak" / "kept", "");

  ASSERT_TRUE(
      ShowLoginWindow(std::to_string(hospd.DataPort()), std::to_string(hospd.FunctionPort())));

  ASSERT_EQ(messages_.Shown().size(), 1u);
  EXPECT_EQ(messages_.Shown()[0].caption, "Program rename error");
  EXPECT_EQ(LocalHolds("Pellomarquin.exe"), "the running build");
  EXPECT_FALSE(login_->UpdateIndicatorPanel->isVisible());
  ExpectLoginUsable();
  EXPECT_FALSE(HospApplication::Terminated());
}

// The reference server offering a build of exactly the running program's date: no update,
// the update panel stays hidden and nothing is downloaded.
TEST_F(LoginUpdateTest, EqualDateOnTheServerIsNoUpdate) {
  HospdProcess hospd;
  const fs::path published = fs::path(hospd.ClientsDir()) / "Pellomarquin.exe";
  WriteBytes(published, "a build of the same date");
  ASSERT_TRUE(SetFilePackedDate(published.string(), static_cast<std::uint32_t>(OwnDate())));

  ASSERT_TRUE(
      ShowLoginWindow(std::to_string(hospd.DataPort()), std::to_string(hospd.FunctionPort())));

  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_FALSE(login_->UpdateIndicatorPanel->isVisible());
  EXPECT_EQ(LocalHolds("Pellomarquin.tmp"), "nothing");
  EXPECT_EQ(LocalHolds("Pellomarquin.exe"), "the running build");
  EXPECT_FALSE(HospApplication::Terminated());
}

// ---------------------------------------------------------------------------------------
// The real program, started offscreen beside its "Hosp.ini", against the reference server.

// Three hours east of UTC, without summer time: a local time that differs from UTC, so
// that a date taken in UTC on either side would show.
const char* const kZone = "EAT-3";
const std::time_t kRunningTime = UtcTime(2030, 1, 1, 0, 0, 0);
const std::time_t kServerTime = UtcTime(2031, 3, 4, 5, 6, 8);
constexpr std::uint32_t kServerPacked = Packed(2031, 3, 4, 8, 6, 8);

std::time_t ModificationTime(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mtime : -1;
}

// The PID of a running program whose executable is `path`; -1 if none.
pid_t FindProgram(const fs::path& path) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    const fs::path exe = fs::read_symlink(entry.path() / "exe", error);
    if (!error && exe == path) return std::stoi(name);
  }
  return -1;
}

int OpenSockets(pid_t pid) {
  int sockets = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code link_error;
    const std::string target = fs::read_symlink(entry.path(), link_error).string();
    if (!link_error && target.rfind("socket:", 0) == 0) ++sockets;
  }
  return sockets;
}

class SelfUpdateProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AdoptOrphans();
    hospd_ = std::make_unique<HospdProcess>();

    client_bytes_ = ReadBytes(PELLOMARQUIN_EXE);
    ASSERT_FALSE(client_bytes_.empty());
    WriteBytes(Exe(), client_bytes_);
    fs::permissions(Exe(), fs::perms(0750));
    SetModificationTime(Exe(), kRunningTime);
    WriteBytes(folder_.Path() / "Pellomarquin.bak", kOldBackup);
    WriteBytes(folder_.Path() / "Hosp.ini", ClientIni(*hospd_));
  }

  void TearDown() override {
    if (stand_in_) Release(folder_.Path(), *stand_in_);
    second_.reset();
    client_.reset();
    StopStrays();
    hospd_.reset();
  }

  fs::path Exe() const { return folder_.Path() / "Pellomarquin.exe"; }

  // A failing test may leave a build running that started another one: no program may
  // outlive the test from its folder.
  void StopStrays() {
    for (int round = 0; round < 5; ++round) {
      const pid_t stray = FindProgram(Exe());
      if (stray <= 0) return;
      ::kill(stray, SIGKILL);
      ::waitpid(stray, nullptr, 0);
    }
  }

  // Offers `bytes` as the newer build, dated kServerTime and not executable on the server.
  void Publish(const std::string& bytes) {
    const fs::path published = fs::path(hospd_->ClientsDir()) / "Pellomarquin.exe";
    WriteBytes(published, bytes);
    fs::permissions(published, fs::perms(0644));
    SetModificationTime(published, kServerTime);
  }

  // Starts the client and waits (bounded) for it to end by itself after the update.
  void RunClientThroughTheUpdate() {
    client_ = Process::Start(Exe().string(), (log_.Path() / "client.log").string());
    ASSERT_GT(client_->Pid(), 0);
    ASSERT_TRUE(client_->Ends(30)) << ReadBytes(log_.Path() / "client.log");
    ASSERT_TRUE(client_->ExitStatus().has_value());
    EXPECT_TRUE(WIFEXITED(*client_->ExitStatus()));
    EXPECT_EQ(WEXITSTATUS(*client_->ExitStatus()), 0);
  }

  // The installed build: the server's bytes, its date in raw and packed form (the
  // packed one read in local time), and the permission bits of the build it replaced.
  void ExpectInstalled(const std::string& bytes) {
    EXPECT_TRUE(ReadBytes(Exe()) == bytes) << "the new build is not in place";
    EXPECT_EQ(ModificationTime(Exe()), kServerTime);
    EXPECT_EQ(GetFilePackedDate(Exe().string()), static_cast<std::int32_t>(kServerPacked));
    EXPECT_EQ(PermissionBits(Exe()), 0750);
    EXPECT_FALSE(fs::exists(folder_.Path() / "Pellomarquin.tmp"));
    EXPECT_TRUE(ReadBytes(folder_.Path() / "Pellomarquin.bak") == client_bytes_)
        << "the running build was not kept as Pellomarquin.bak";
    EXPECT_EQ(ModificationTime(folder_.Path() / "Pellomarquin.bak"), kRunningTime);
  }

  // Set before the server starts, and kept until everything else has gone.
  ScopedEnvironment zone_{"TZ", kZone};
  std::unique_ptr<HospdProcess> hospd_;
  TempFolder folder_;
  TempFolder log_;
  std::string client_bytes_;
  std::unique_ptr<Process> client_;
  std::unique_ptr<Process> stand_in_;
  std::unique_ptr<Process> second_;
};

// The program downloads the newer build, keeps itself as Pellomarquin.bak, puts the new
// build in its place and starts it: in a session of its own, without the old program's
// sockets or descriptors, and still running after the old program has ended.
TEST_F(SelfUpdateProgramTest, InstallsAndStartsTheNewBuild) {
  const std::string new_build = ReadBytes(FAKE_CLIENT_BUILD);
  Publish(new_build);

  RunClientThroughTheUpdate();

  StartRecord record;
  stand_in_ = WaitForStandIn(folder_.Path(), record);
  ASSERT_NE(stand_in_, nullptr) << "the new build was not started";
  EXPECT_TRUE(stand_in_->Running()) << "the new build ended with the old one";
  EXPECT_EQ(record.values["sid"], record.values["pid"]);
  EXPECT_EQ(record.values["tty"], "0");
  EXPECT_EQ(record.values["args"], "0");
  for (const auto& [fd, target] : record.descriptors) {
    EXPECT_LE(fd, 2) << "inherited descriptor " << fd << " -> " << target;
    EXPECT_EQ(target.rfind("socket:", 0), std::string::npos) << "inherited " << target;
  }
  ExpectInstalled(new_build);
}

// With both trust features on (the server's certificate as the trusted authority, a public
// key for builds, both paths relative to the program's folder), the program installs a
// signed build and keeps its statement beside it.
TEST_F(SelfUpdateProgramTest, InstallsASignedBuildFromAVerifiedServer) {
  const fs::path keys = log_.Path();
  std::string error;
  ASSERT_TRUE(BuildSignature::MakeKeyPair((keys / "publisher.key").string(),
                                          (folder_.Path() / "publisher.pem").string(), error))
      << error;
  const std::string new_build = ReadBytes(FAKE_CLIENT_BUILD);
  Publish(new_build);
  WriteBytes(fs::path(hospd_->ClientsDir()) / "Pellomarquin.exe.sig",
             BuildSignature::MakeStatement((keys / "publisher.key").string(), new_build,
                                           static_cast<std::int32_t>(kServerPacked), error));
  fs::copy_file(fs::path(hospd_->DataDir()) / "server.crt", folder_.Path() / "server.pem");
  std::ofstream(folder_.Path() / "Hosp.ini", std::ios::app)
      << "[DataServer]\nCAFile=server.pem\n[Update]\nPublicKey=publisher.pem\n";

  RunClientThroughTheUpdate();

  StartRecord record;
  stand_in_ = WaitForStandIn(folder_.Path(), record);
  ASSERT_NE(stand_in_, nullptr) << "the new build was not started";
  ExpectInstalled(new_build);
  EXPECT_EQ(ReadBytes(folder_.Path() / "Pellomarquin.exe.sig"),
            ReadBytes(fs::path(hospd_->ClientsDir()) / "Pellomarquin.exe.sig"));
}

// With a probation the old program waits for the sign that the real program gives when its
// login window is up, then ends, leaving the new build in place and running.
TEST_F(SelfUpdateProgramTest, NewBuildThatShowsItsLoginPassesItsProbation) {
  Publish(client_bytes_);
  std::ofstream(folder_.Path() / "Hosp.ini", std::ios::app) << "[Update]\nProbation=30\n";

  RunClientThroughTheUpdate();

  const pid_t pid = FindProgram(Exe());
  ASSERT_GT(pid, 0) << "the new build does not run";
  second_ = std::make_unique<Process>(pid);
  ExpectInstalled(client_bytes_);
  EXPECT_FALSE(fs::exists(folder_.Path() / "Pellomarquin.failed"));
  EXPECT_TRUE(second_->Running());
}

// A copy of the client as the newer build: once installed and started, it finds its own
// date on the server, so it does not update again and stays at the login.
TEST_F(SelfUpdateProgramTest, InstalledBuildFindsNoFurtherUpdate) {
  Publish(client_bytes_);
  RunClientThroughTheUpdate();

  pid_t pid = -1;
  ASSERT_TRUE(WaitUntil([&] { return (pid = FindProgram(Exe())) > 0; }, 15000))
      << "the new build was not started";
  second_ = std::make_unique<Process>(pid);
  // Both connections up means the first paint has run, and the update check with it.
  EXPECT_TRUE(WaitUntil([&] { return OpenSockets(pid) >= 2; }, 20000));
  HandleEventsFor(1500);

  EXPECT_TRUE(second_->Running()) << "the installed build ended instead of offering the login";
  EXPECT_FALSE(fs::exists(folder_.Path() / "Pellomarquin.tmp"));
  ExpectInstalled(client_bytes_);
}

}  // namespace
