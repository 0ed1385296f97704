// Tests of hospd's staff, backup and init commands on real data folders and a running hospd.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ServerTestSupport.h"
#include "SqliteProbe.h"

namespace {

class AdminCommandsTest : public ::testing::Test {
 protected:
  CommandOutcome Hospd(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.end(), {"--data", server_.DataDir()});
    return RunHospd(arguments, input);
  }

  // The login exactly as the client decides it, over a new connection: the record is found,
  // position 23 equals the password and position 27 is "Y" in any letter case.
  bool CanLogIn(const std::string& email, const std::string& password) {
    const auto connection = OpenDataConnection(server_);
    NameValueList record;
    if (!connection->QueryTable("Personnel", 4, email, "", record, "", "")) return false;
    return record.Count() >= 28 && record[23] == password &&
           (record[27] == "Y" || record[27] == "y");
  }

  std::string PersonnelRows() {
    SqliteProbe probe(server_.DatabasePath());
    std::string rows;
    for (const auto& row : probe.Rows("SELECT * FROM Personnel ORDER BY Seq")) {
      for (const auto& value : row) rows += value + "|";
      rows += "\n";
    }
    return rows;
  }

  HospdProcess server_;
};

// A physician added while the server runs logs in at once; a new password replaces the old
// one at once; a removed member is gone.
TEST_F(AdminCommandsTest, StaffChangesReachTheRunningServerAtOnce) {
  const std::string email = "eva.lang@hospital.example";
  ASSERT_FALSE(CanLogIn(email, "first secret"));

  const CommandOutcome added =
      Hospd({"staff", "add", "--email", email, "--first-name", "Eva", "--last-name", "Lang",
             "--title", "Dr.", "--physician", "--password-stdin"},
            "first secret\n");
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_TRUE(CanLogIn(email, "first secret"));
  EXPECT_NE(Hospd({"staff", "list"}).out.find(email), std::string::npos);

  const CommandOutcome changed =
      Hospd({"staff", "passwd", "--email", "EVA.LANG@hospital.example", "--password-stdin"},
            "second secret\r\n");
  ASSERT_EQ(changed.status, 0) << changed.err;
  EXPECT_FALSE(CanLogIn(email, "first secret"));
  EXPECT_TRUE(CanLogIn(email, "second secret"));

  const CommandOutcome removed = Hospd({"staff", "remove", "--email", email});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_FALSE(CanLogIn(email, "second secret"));
  EXPECT_EQ(Hospd({"staff", "list"}).out.find(email), std::string::npos);
}

// A member added without --physician is on record but refused by the client's login.
TEST_F(AdminCommandsTest, MemberWithoutPhysicianMarkCannotLogIn) {
  const CommandOutcome added =
      Hospd({"staff", "add", "--email", "tom.berg@hospital.example", "--first-name", "Tom",
             "--last-name", "Berg", "--password-stdin"},
            "secret\n");
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_FALSE(CanLogIn("tom.berg@hospital.example", "secret"));
}

// Each refused staff command exits with status 1, says why in one line and changes nothing.
TEST_F(AdminCommandsTest, RefusedStaffCommandsChangeNothing) {
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    std::string input;
    const char* reason;
  };
  const std::vector<Row> rows = {
      {"address taken in another letter case",
       {"staff", "add", "--email", "Anna.Weber@hospital.example", "--first-name", "A",
        "--last-name", "W", "--password-stdin"},
       "x\n",
       "already a member of staff"},
      {"not an address",
       {"staff", "add", "--email", "anna", "--first-name", "A", "--last-name", "W",
        "--password-stdin"},
       "x\n",
       "not an e-mail address"},
      {"empty password",
       {"staff", "add", "--email", "new@hospital.example", "--first-name", "A", "--last-name", "W",
        "--password-stdin"},
       "\n",
       "empty password"},
      {"no terminal and no --password-stdin",
       {"staff", "passwd", "--email", "anna.weber@hospital.example"},
       "",
       "no terminal"},
      {"password of nobody",
       {"staff", "passwd", "--email", "nobody@hospital.example", "--password-stdin"},
       "x\n",
       "no member of staff"},
      {"physician with cases on record",
       {"staff", "remove", "--email", "anna.weber@hospital.example"},
       "",
       "cases name them"},
  };
  const std::string before = PersonnelRows();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const CommandOutcome outcome = Hospd(row.arguments, row.input);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find(row.reason), std::string::npos) << outcome.err;
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1);
  }
  EXPECT_EQ(PersonnelRows(), before);
  EXPECT_TRUE(CanLogIn("anna.weber@hospital.example", "demo"));
}

// A backup taken while clients approve cases is a sound database that holds every approval
// confirmed before it began, and is consistent: each approved case has its one audit row.
TEST_F(AdminCommandsTest, BackupUnderLoadHoldsEveryCommittedApproval) {
  std::vector<std::string> open_cases;
  {
    SqliteProbe probe(server_.DatabasePath());
    for (const auto& row : probe.Rows("SELECT Seq FROM Cases WHERE f25 <> 'Y' ORDER BY Seq")) {
      open_cases.push_back(row[0]);
    }
  }
  std::mutex mutex;
  std::vector<std::string> confirmed;
  std::atomic<bool> stop{false};
  std::thread approver([&] {
    const auto connection = OpenDataConnection(server_);
    for (const std::string& seq : open_cases) {
      if (stop) break;
      if (connection->UpdateRecord("Cases", seq, Fields("f25=Y"))) {
        const std::lock_guard lock(mutex);
        confirmed.push_back(seq);
      }
    }
  });
  std::thread reader([&] {
    const auto connection = OpenDataConnection(server_);
    NameValueList record;
    while (!stop)
      connection->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", "");
  });
  const auto wait_until = [&](std::size_t count) {
    for (int i = 0; i < 3000; ++i) {
      {
        const std::lock_guard lock(mutex);
        if (confirmed.size() >= count) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  wait_until(3);
  std::vector<std::string> before_backup;
  {
    const std::lock_guard lock(mutex);
    before_backup = confirmed;
  }
  const std::string copy = server_.DataDir() + "/../backup.db";
  const CommandOutcome backup = Hospd({"backup", copy});
  stop = true;
  approver.join();
  reader.join();
  ASSERT_EQ(backup.status, 0) << backup.err;

  SqliteProbe probe(copy);
  EXPECT_EQ(probe.Value("PRAGMA quick_check"), "ok");
  EXPECT_EQ(probe.Value("PRAGMA journal_mode"), "delete");
  // Cases approved in this run: their marks and their audit rows must agree one for one.
  std::set<std::string> approved;
  for (const auto& row : probe.Rows("SELECT Seq FROM Cases WHERE f25 = 'Y'")) {
    if (std::find(open_cases.begin(), open_cases.end(), row[0]) != open_cases.end()) {
      approved.insert(row[0]);
    }
  }
  std::multiset<std::string> audited;
  for (const auto& row : probe.Rows("SELECT CaseSeq FROM Approvals")) audited.insert(row[0]);
  for (const std::string& seq : before_backup) EXPECT_TRUE(approved.count(seq)) << seq;
  EXPECT_EQ(audited, std::multiset<std::string>(approved.begin(), approved.end()));

  // The copy is never overwritten, not even by a second backup.
  const CommandOutcome again = Hospd({"backup", copy});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("not overwritten"), std::string::npos);
  std::filesystem::remove(copy);
}

struct ModeCase {
  const char* name;
  // hospd's command lines, in order; "DATA" and "BACKUP" stand for paths in a new folder.
  std::vector<std::vector<std::string>> commands;
  std::vector<std::pair<std::string, unsigned>> modes;  // path in that folder, its mode
};

void PrintTo(const ModeCase& row, std::ostream* out) { *out << row.name; }

// The umask is the process's; hospd, started from it, inherits it.
class FileModesTest : public ::testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override { saved_umask_ = ::umask(022); }
  void TearDown() override { ::umask(saved_umask_); }

 private:
  mode_t saved_umask_ = 0;
};

// Under the usual umask 022, the data folder is closed to other users and every file holding
// passwords or the private key is its owner's alone.
TEST_P(FileModesTest, SecretsAreTheOwnersAloneUnderUmask022) {
  const TempFolder root("hosp-modes");
  for (auto arguments : GetParam().commands) {
    for (auto& argument : arguments) {
      if (argument == "DATA" || argument == "BACKUP") argument = root.Path(argument);
    }
    const CommandOutcome outcome = RunHospd(arguments);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
  }
  for (const auto& [path, mode] : GetParam().modes) {
    struct stat info {};
    ASSERT_EQ(::stat(root.Path(path).c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, mode)
        << path << " has mode " << std::oct << (info.st_mode & 07777);
  }
}

const std::vector<std::pair<std::string, unsigned>> kDataFolderModes = {
    {"DATA", 0750}, {"DATA/hosp.db", 0600}, {"DATA/server.key", 0600}};

INSTANTIATE_TEST_SUITE_P(
    Commands, FileModesTest,
    ::testing::Values(ModeCase{"InitDemo", {{"--init-demo", "DATA"}}, kDataFolderModes},
                      ModeCase{"Init", {{"init", "--data", "DATA"}}, kDataFolderModes},
                      ModeCase{"Backup",
                               {{"--init-demo", "DATA"}, {"backup", "--data", "DATA", "BACKUP"}},
                               {{"BACKUP", 0600}}}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
