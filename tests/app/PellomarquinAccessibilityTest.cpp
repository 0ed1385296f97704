// The real program at a ward workstation: under Xvfb with a session bus and the AT-SPI bus,
// read through the accessibility tree as a screen reader reads it (tests/app/atspi_probe.py),
// against the reference servers. The entries' names and their default action, Enter in the
// login window, the idle lock and the list's own refresh, checked in the tree, on the screen's
// pixels and in the server's database.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "GuiTestSupport.h"
#include "HospdProcess.h"
#include "TestFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";
constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has pyatspi
const QRgb kGreen = qRgb(0, 128, 0);                 // the needs heading
const QRgb kBlue = qRgb(0, 0, 255);                  // the new case's marker
const QRgb kWhite = qRgb(255, 255, 255);             // the entries' background

// One object of the accessibility tree, as the probe prints it.
struct Accessible {
  int depth = 0;
  std::string role;
  std::string states;
  std::string name;
  std::string description;
  std::string actions;

  bool Showing() const { return states.find("showing") != std::string::npos; }
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// "YYYYMMDD" as the entry shows it.
std::string ShownDate(const std::string& date) {
  return date.substr(4, 2) + "/" + date.substr(6, 2) + "/" + date.substr(0, 4);
}

class PellomarquinScreenReaderTest : public ::testing::Test {
 protected:
  // The reference servers, a virtual screen, a session bus (which starts the AT-SPI bus when
  // asked) and the program with its accessibility on, beside a "Hosp.ini" that ends with
  // `client_section`; `environment` is added to the program's. Skips the test when a tool
  // is missing.
  void StartClient(const std::string& client_section = "",
                   std::vector<std::string> environment = {}) {
    for (const char* tool : {"Xvfb", "xdotool", "dbus-daemon", "sqlite3"}) {
      if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed (tools/deps.sh)";
    }
    if (std::system((std::string(kPython) + " -c 'import pyatspi' 2>/dev/null").c_str()) != 0 ||
        ::access("/usr/libexec/at-spi-bus-launcher", X_OK) != 0) {
      GTEST_SKIP() << "python3-pyatspi or at-spi2-core is not installed (tools/deps.sh)";
    }
    hospd_ = std::make_unique<HospdProcess>();
    const fs::path folder =
        MakeProgramFolder(hospd_->DataDir(), ClientIni(*hospd_) + client_section);
    screen_ = std::make_unique<VirtualScreen>(folder / "screen");
    ASSERT_TRUE(screen_->Ready()) << "Xvfb did not start";
    StartSessionBus();
    ASSERT_FALSE(bus_address_.empty()) << "dbus-daemon did not start";

    environment.push_back("DISPLAY=" + screen_->Display());
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_address_);
    environment.push_back("QT_QPA_PLATFORM=xcb");
    environment.push_back("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1");
    client_ = std::make_unique<Child>(
        std::vector<std::string>{(folder / "Pellomarquin.exe").string()}, environment);
    ASSERT_TRUE(client_->Started());
  }

  void StartSessionBus() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    bus_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--syslog-only",
                                 "--print-address=" + std::to_string(fds[1])},
        // The AT-SPI bus it starts names its socket after the display: tests running at
        // the same time on other screens must not share one.
        std::vector<std::string>{"DISPLAY=" + screen_->Display()}, fds[1]);
    ::close(fds[1]);
    bus_address_ = ReadLine(fds[0], 10);
    ::close(fds[0]);
  }

  // The whole tree of the application, read afresh.
  std::vector<Accessible> Tree() {
    std::vector<Accessible> tree;
    for (const std::string& line : Split(Probe("tree"), '\n')) {
      std::vector<std::string> fields = Split(line, '\t');
      fields.resize(6);
      tree.push_back(
          {std::atoi(fields[0].c_str()), fields[1], fields[2], fields[3], fields[4], fields[5]});
    }
    return tree;
  }

  // The entries of the list "Open cases", in order.
  std::vector<Accessible> Entries() {
    const std::vector<Accessible> tree = Tree();
    std::vector<Accessible> entries;
    for (std::size_t i = 0; i < tree.size(); ++i) {
      if (tree[i].role != "list" || tree[i].name != "Open cases") continue;
      for (std::size_t j = i + 1; j < tree.size() && tree[j].depth > tree[i].depth; ++j) {
        entries.push_back(tree[j]);
      }
    }
    return entries;
  }

  std::string Probe(const std::string& arguments) {
    const std::string script =
        std::string(std::getenv("HOSP_SOURCE_DIR")) + "/tests/app/atspi_probe.py";
    return Output("DISPLAY=" + screen_->Display() + " DBUS_SESSION_BUS_ADDRESS='" + bus_address_ +
                  "' timeout 60 " + kPython + " " + script + " " + arguments + " 2>/dev/null");
  }

  std::string Xdotool(const std::string& arguments) {
    return Output("DISPLAY=" + screen_->Display() + " timeout 20 xdotool " + arguments +
                  " 2>/dev/null");
  }
  std::string WaitForWindow(const std::string& caption) {
    const std::string ids = Xdotool("search --sync --onlyvisible --name '^" + caption + "$'");
    return ids.substr(0, ids.find('\n'));
  }
  // Types the address and the password and presses `enter_key` in the password field.
  void LogInWithEnter(const std::string& enter_key) {
    const std::string login = WaitForWindow("Hospital Discharge Client Login");
    ASSERT_FALSE(login.empty()) << "the login window did not appear";
    Xdotool("mousemove --window " + login + " 200 42 click 1");
    Xdotool("type --delay 20 '" + std::string(kEmail) + "'");
    Xdotool("key Tab");
    Xdotool("type --delay 20 demo");
    Xdotool("key " + enter_key);
    ASSERT_FALSE(WaitForWindow("Physician Approval App").empty()) << "no case list after Enter";
  }

  std::string Sql(const std::string& query, bool write = false) {
    return Output(std::string("sqlite3 ") + (write ? "" : "-readonly ") + "-separator '\t' '" +
                  hospd_->DatabasePath() + "' \"" + query + "\"");
  }
  // The physician's open cases in list order: Seq, then the entry's name as it is drawn.
  std::vector<std::pair<std::string, std::string>> ExpectedEntries() {
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string rows =
        Sql("SELECT c.Seq, c.pa10, c.pa12, c.ho10, c.f13, c.f22 FROM Cases c JOIN Personnel p "
            "ON p.Seq = c.DoctorSeq WHERE p.Email = '" +
            std::string(kEmail) + "' AND upper(c.f25) <> 'Y' ORDER BY c.f13, c.Seq;");
    for (const std::string& row : Split(rows, '\n')) {
      std::vector<std::string> f = Split(row, '\t');
      f.resize(6);
      std::string name = f[1] + " " + f[2] + ", " + f[3] + ", Discharge date: " + ShownDate(f[4]) +
                         ", Case: " + (f[5].empty() ? f[0] : f[5]) + ", ";
      const std::string needs = Sql(
          "SELECT coalesce(nullif(pd12, ''), nullif(pc12, ''), pt11) FROM Needs WHERE CaseSeq = " +
          f[0] + " ORDER BY Seq;");
      if (needs.empty()) {
        name += "No Needs";
      } else {
        name += "The following discharge needs have all been arranged:";
        for (const std::string& need : Split(needs, '\n'))
          name += (name.back() == ':' ? " " : ", ") + need;
      }
      entries.emplace_back(f[0], name);
    }
    return entries;
  }

  void SaveScreen(const std::string& name) {
    const fs::path path = fs::path(std::getenv("HOSP_BUILD_DIR")) / "tests" / "app" / name;
    EXPECT_TRUE(screen_->Screen().save(QString::fromStdString(path.string()), "PNG")) << path;
  }

  // Declared in the order they start; they stop in the reverse order.
  std::unique_ptr<HospdProcess> hospd_;
  std::unique_ptr<VirtualScreen> screen_;
  std::unique_ptr<Child> bus_;
  std::string bus_address_;
  std::unique_ptr<Child> client_;
};

// The login fields are named without the labels' blank and hidden controls are not shown to
// the reader; keypad Enter logs in; every entry is named with what it draws and tells its
// position; the entry's default action asks, and Enter on that question approves that case.
TEST_F(PellomarquinScreenReaderTest, HearsEveryEntryAndApprovesThroughItsAction) {
  StartClient();
  if (IsSkipped() || HasFatalFailure()) return;
  ASSERT_FALSE(WaitForWindow("Hospital Discharge Client Login").empty());
  std::vector<std::string> shown;
  for (const Accessible& object : Tree()) {
    if (object.Showing() && !object.name.empty()) shown.push_back(object.role + ":" + object.name);
  }
  EXPECT_EQ(shown,
            (std::vector<std::string>{
                "application:Pellomarquin", "filler:Hospital Discharge Client Login", "text:Email",
                "label:Email", "password text:Password", "label:Password", "push button:Log In"}));

  LogInWithEnter("KP_Enter");
  if (HasFatalFailure()) return;
  const auto expected = ExpectedEntries();
  ASSERT_EQ(expected.size(), 12u);
  const std::vector<Accessible> entries = Entries();
  ASSERT_EQ(entries.size(), expected.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].role, "list item");
    EXPECT_EQ(entries[i].name, expected[i].second);
    EXPECT_EQ(entries[i].description, std::to_string(i + 1) + " of 12");
    EXPECT_EQ(entries[i].actions.substr(0, 5), "Press");
  }

  const std::string second = expected[1].first;
  const std::string caption =
      Sql("SELECT pa10 || ' ' || pa12 FROM Cases WHERE Seq = " + second + ";");
  EXPECT_EQ(Probe("press 1"), "Press");
  ASSERT_FALSE(WaitForWindow(caption).empty()) << "no confirmation box";
  EXPECT_EQ(Sql("SELECT count(*) FROM Approvals;"), "0") << "approved before the answer";
  Xdotool("key Return");
  EXPECT_TRUE(Eventually([&] { return Sql("SELECT count(*) FROM Approvals;") == "1"; }, 10));
  EXPECT_EQ(Sql("SELECT CaseSeq FROM Approvals;"), second);
  EXPECT_TRUE(Eventually([&] { return Entries().size() == 11; }, 10));
}

// After a short LockAfterMinutes without input the window shows no entry on screen and no
// patient's name to the reader, only the lock panel; the password and Enter bring the list
// back, fetched again.
TEST_F(PellomarquinScreenReaderTest, IdleLockHidesEveryNameUntilTheUnlock) {
  StartClient("[Client]\nLockAfterMinutes=1\n", {"HOSP_LOCK_AFTER_SECONDS=3"});
  if (IsSkipped() || HasFatalFailure()) return;
  LogInWithEnter("Return");
  if (HasFatalFailure()) return;
  std::vector<std::string> patients;
  for (const auto& [seq, name] : ExpectedEntries())
    patients.push_back(name.substr(0, name.find(',')));
  ASSERT_EQ(patients.size(), 12u);

  const std::string lock_text = "Locked: enter the password of Dr. Anna Weber to continue";
  auto locked = [&](const std::vector<Accessible>& tree) {
    for (const Accessible& object : tree) {
      if (object.name == lock_text && object.Showing()) return true;
    }
    return false;
  };
  ASSERT_TRUE(Eventually([&] { return locked(Tree()); }, 30)) << "no lock";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-locked.png");
  // Read again: the tree that showed the lock first may have been read while it came.
  const std::vector<Accessible> tree = Tree();
  EXPECT_TRUE(locked(tree));
  for (const Accessible& object : tree) {
    for (const std::string& patient : patients) {
      EXPECT_EQ(object.name.find(patient), std::string::npos) << object.role << " " << object.name;
      EXPECT_EQ(object.description.find(patient), std::string::npos) << object.description;
    }
  }
  const QImage screen = screen_->Screen();
  EXPECT_EQ(CountPixels(screen, kGreen), 0) << "needs still drawn";
  // The list's white area is gone; the password field's remains.
  EXPECT_LT(CountPixels(screen, kWhite), 20000);

  Xdotool("type --delay 20 demo");
  Xdotool("key Return");
  ASSERT_TRUE(Eventually([&] { return Entries().size() == 12; }, 10)) << "no list after unlock";
  EXPECT_GT(CountPixels(screen_->Screen(), kGreen), 0);
}

// With a short RefreshMinutes a case published in the database appears by itself with its
// marker, drawn and read; once the physician has had it in focus the marker goes.
TEST_F(PellomarquinScreenReaderTest, NewCaseAppearsMarkedUntilSeen) {
  StartClient("[Client]\nRefreshMinutes=1\n", {"HOSP_REFRESH_SECONDS=1"});
  if (IsSkipped() || HasFatalFailure()) return;
  LogInWithEnter("Return");
  if (HasFatalFailure()) return;
  ASSERT_EQ(Entries().size(), 12u);
  EXPECT_EQ(CountPixels(screen_->Screen(), kBlue), 0);

  Sql("INSERT INTO Cases (Seq, DoctorSeq, pa10, pa12, ho10, f13, f22) SELECT 6001, Seq, "
      "'Neumann', 'Greta', '3B-14', '20000101', '25009999' FROM Personnel WHERE Email = '" +
          std::string(kEmail) + "';",
      true);
  const std::string marked =
      "Neumann Greta, 3B-14, New, Discharge date: 01/01/2000, Case: 25009999, No Needs";
  std::vector<Accessible> entries;
  ASSERT_TRUE(Eventually(
      [&] { return (entries = Entries()).size() == 13 && entries[0].name == marked; }, 20))
      << (entries.empty() ? "" : entries[0].name);
  EXPECT_EQ(entries[1].name.find("New,"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-new-case.png");
  EXPECT_GT(CountPixels(screen_->Screen(), kBlue), 0) << "no marker drawn";

  const std::string cases = WaitForWindow("Physician Approval App");
  Xdotool("mousemove --window " + cases + " 300 100 click 1");
  EXPECT_TRUE(Eventually(
      [&] {
        entries = Entries();  // empty when read while a refresh rebuilds the list
        return !entries.empty() && entries[0].name.find("New,") == std::string::npos;
      },
      10));
  EXPECT_TRUE(Eventually([&] { return CountPixels(screen_->Screen(), kBlue) == 0; }, 10));
}

}  // namespace
