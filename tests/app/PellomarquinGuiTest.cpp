// The real program as a physician uses it: under Xvfb, typed into and clicked with xdotool,
// against the reference servers; the approval is checked in the server's database and on
// screenshots of the virtual screen. Also its start on a bare machine, offscreen.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QRect>
#include <QSize>

#include <gtest/gtest.h>

#include "GuiTestSupport.h"
#include "HospdProcess.h"
#include "RowName.h"
#include "TestFiles.h"

// Rectangles read as x,y widthxheight in failure messages.
static void PrintTo(const QRect& rect, std::ostream* out) {
  *out << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
}

namespace fs = std::filesystem;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";
constexpr const char* kPassword = "demo";

// The whole numbers in a text, in order.
std::vector<int> Numbers(const std::string& text) {
  std::vector<int> numbers;
  for (std::size_t at = 0; (at = text.find_first_of("0123456789", at)) != std::string::npos;) {
    std::size_t used = 0;
    numbers.push_back(std::stoi(text.substr(at), &used));
    at += used;
  }
  return numbers;
}

class PellomarquinGuiTest : public ::testing::Test {
 protected:
  // The reference servers, a virtual screen, the window manager `manager` if one is named,
  // and the program beside its "Hosp.ini" (`ini_extra` added to both server sections) on
  // that screen. Skips the test when an X tool is missing.
  void StartClient(const char* manager = nullptr, const std::string& ini_extra = "") {
    for (const char* tool : {"Xvfb", "xvfb-run", "xdotool", "xwininfo", "xprop"}) {
      if (!OnPath(tool))
        GTEST_SKIP() << tool << " is not installed (Debian xvfb, xdotool, x11-utils)";
    }
    if (manager != nullptr && !OnPath(manager)) GTEST_SKIP() << manager << " is not installed";
    ASSERT_TRUE(OnPath("sqlite3"));
    hospd_ = std::make_unique<HospdProcess>();
    const fs::path folder =
        MakeProgramFolder(hospd_->DataDir(), ClientIni(*hospd_, ini_extra, ini_extra));
    screen_ = std::make_unique<VirtualScreen>(folder / "screen");
    ASSERT_TRUE(screen_->Ready()) << "Xvfb did not start";
    if (manager != nullptr) {
      manager_ = std::make_unique<Child>(std::vector<std::string>{manager},
                                         std::vector<std::string>{"DISPLAY=" + screen_->Display()});
      ASSERT_TRUE(Eventually([&] { return ManagerRunning(); }, 20)) << manager << " did not start";
    }
    client_ = std::make_unique<Child>(
        std::vector<std::string>{(folder / "Pellomarquin.exe").string()},
        std::vector<std::string>{"DISPLAY=" + screen_->Display(), "QT_QPA_PLATFORM=xcb"});
    ASSERT_TRUE(client_->Started());
  }

  // Types the demo physician's address and password into the login window and logs in;
  // the screen is saved as `screenshot` just before the click, if one is named.
  void LogIn(const std::string& login, const std::string& screenshot = "") {
    Xdotool("mousemove --window " + login + " 200 42 click 1");
    Xdotool("type --delay 20 '" + std::string(kEmail) + "'");
    Xdotool("mousemove --window " + login + " 160 82 click 1");
    Xdotool("type --delay 20 '" + std::string(kPassword) + "'");
    if (!screenshot.empty()) SaveScreen(screenshot);
    Xdotool("mousemove --window " + login + " 164 124 click 1");
  }

  std::string Xdotool(const std::string& arguments) {
    return Output("DISPLAY=" + screen_->Display() + " timeout 20 xdotool " + arguments +
                  " 2>/dev/null");
  }
  std::string X11Tool(const std::string& command) {
    return Output("DISPLAY=" + screen_->Display() + " timeout 20 " + command + " 2>/dev/null");
  }
  // A window manager announces itself on the root window.
  bool ManagerRunning() {
    return X11Tool("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") != std::string::npos;
  }
  // The first visible window with this exact caption, waiting for it to appear.
  std::string WaitForWindow(const std::string& caption) {
    std::string ids = Xdotool("search --sync --onlyvisible --name '^" + caption + "$'");
    return ids.substr(0, ids.find('\n'));
  }
  int VisibleWindows(pid_t pid) {
    const std::string ids = Xdotool("search --onlyvisible --pid " + std::to_string(pid));
    return ids.empty() ? 0 : 1 + static_cast<int>(std::count(ids.begin(), ids.end(), '\n'));
  }
  // The frame extents the window manager gives `window` (left, right, top, bottom), all 0
  // without a window manager.
  std::vector<int> FrameExtents(const std::string& window) {
    std::vector<int> extents = Numbers(X11Tool("xprop -id " + window + " _NET_FRAME_EXTENTS"));
    return extents.size() == 4 ? extents : std::vector<int>{0, 0, 0, 0};
  }
  // The window's outer frame on the screen: its client rectangle grown by the frame.
  QRect OuterFrame(const std::string& window) {
    const std::string info = X11Tool("xwininfo -id " + window);
    auto field = [&info](const std::string& name) {
      const std::size_t at = info.find(name + ":");
      return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + name.size() + 1);
    };
    const std::vector<int> frame = FrameExtents(window);
    return QRect(field("Absolute upper-left X") - frame[0],
                 field("Absolute upper-left Y") - frame[2], field("Width") + frame[0] + frame[1],
                 field("Height") + frame[2] + frame[3]);
  }
  std::string Sql(const std::string& query) {
    return Output("sqlite3 -readonly '" + hospd_->DatabasePath() + "' \"" + query + "\"");
  }
  void SaveScreen(const std::string& name) {
    const fs::path path = fs::path(std::getenv("HOSP_BUILD_DIR")) / "tests" / "app" / name;
    EXPECT_TRUE(screen_->Screen().save(QString::fromStdString(path.string()), "PNG")) << path;
  }

  // Declared in the order they start; they stop in the reverse order.
  // The open cases of the demo physician, in the order of the list.
  std::vector<std::string> OpenCases() {
    const std::string doctor =
        Sql("SELECT Seq FROM Personnel WHERE Email = '" + std::string(kEmail) + "';");
    const std::string seqs = Sql("SELECT Seq FROM Cases WHERE DoctorSeq = " + doctor +
                                 " AND upper(f25) <> 'Y' ORDER BY f13, Seq;");
    std::vector<std::string> cases;
    for (std::size_t from = 0; from < seqs.size();) {
      const std::size_t end = std::min(seqs.find('\n', from), seqs.size());
      cases.push_back(seqs.substr(from, end - from));
      from = end + 1;
    }
    return cases;
  }

  std::unique_ptr<HospdProcess> hospd_;
  std::unique_ptr<VirtualScreen> screen_;
  std::unique_ptr<Child> manager_;
  std::unique_ptr<Child> client_;
};

// Type the demo physician's address and password, log in, double-click the first case,
// confirm with Enter: the server records the approval and the case leaves the list.
TEST_F(PellomarquinGuiTest, PhysicianApprovesTheFirstCase) {
  StartClient();
  if (IsSkipped() || HasFatalFailure()) return;
  const std::string doctor =
      Sql("SELECT Seq FROM Personnel WHERE Email = '" + std::string(kEmail) + "';");
  const std::string open_cases =
      "FROM Cases WHERE DoctorSeq = " + doctor + " AND upper(f25) <> 'Y'";
  const std::string open_before = Sql("SELECT count(*) " + open_cases + ";");
  const std::string first_date = Sql("SELECT min(f13) " + open_cases + ";");
  ASSERT_GT(std::stoi(open_before), 1);

  const std::string login = WaitForWindow("Hospital Discharge Client Login");
  ASSERT_FALSE(login.empty()) << "the login window did not appear";
  LogIn(login, "gui-login.png");

  const std::string cases = WaitForWindow("Physician Approval App");
  ASSERT_FALSE(cases.empty()) << "the case list did not appear";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SaveScreen("gui-caselist.png");
  EXPECT_GT(CountPixels(screen_->Screen(), qRgb(0, 128, 0)), 0)
      << "no green needs heading on screen";

  Xdotool("mousemove --window " + cases + " 120 110 click --repeat 2 --delay 120 1");
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client_->Pid()) >= 2; }, 10))
      << "no confirmation box";
  Xdotool("key Return");

  EXPECT_TRUE(
      Eventually([&] { return Sql("SELECT count(*) " + open_cases + ";") != open_before; }, 10));
  EXPECT_EQ(std::stoi(Sql("SELECT count(*) " + open_cases + ";")), std::stoi(open_before) - 1);
  // The case approved is one of the earliest discharges, the first entry of the list.
  EXPECT_EQ(Sql("SELECT f13 FROM Cases WHERE Seq = (SELECT CaseSeq FROM Approvals ORDER BY Seq "
                "DESC LIMIT 1);"),
            first_date);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-approved.png");
  EXPECT_EQ(VisibleWindows(client_->Pid()), 1);
  EXPECT_FALSE(client_->Ended()) << "the program ended on its own";
}

// Only the keyboard: the address, Tab, the password, Tab, the space bar logs in; in the case
// list Tab reaches the list, Down moves to the second case, Enter asks and Enter confirms: the
// server records that approval. Then, with "Timeout=2" and the function server paused, a
// refresh reports the server after about two seconds, and works again once it answers.
TEST_F(PellomarquinGuiTest, PhysicianApprovesWithTheKeyboard) {
  StartClient(nullptr, "Timeout=2\n");
  if (IsSkipped() || HasFatalFailure()) return;
  const std::vector<std::string> open_before = OpenCases();
  ASSERT_GT(open_before.size(), 2u);

  const std::string login = WaitForWindow("Hospital Discharge Client Login");
  ASSERT_FALSE(login.empty()) << "the login window did not appear";
  Xdotool("mousemove --window " + login + " 200 42 click 1");
  Xdotool("type --delay 20 '" + std::string(kEmail) + "'");
  Xdotool("key Tab");
  Xdotool("type --delay 20 '" + std::string(kPassword) + "'");
  Xdotool("key Tab space");

  const std::string cases = WaitForWindow("Physician Approval App");
  ASSERT_FALSE(cases.empty()) << "the case list did not appear";
  Xdotool("mousemove --window " + cases + " 300 20");
  Xdotool("windowfocus --sync " + cases);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Xdotool("key Tab Down Return");
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client_->Pid()) >= 2; }, 10))
      << "no confirmation box";
  Xdotool("key Return");
  ASSERT_TRUE(Eventually([&] { return OpenCases().size() == open_before.size() - 1; }, 10));
  EXPECT_EQ(Sql("SELECT CaseSeq FROM Approvals ORDER BY Seq DESC LIMIT 1;"), open_before[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-keyboard-approved.png");

  hospd_->Pause();
  const auto paused = std::chrono::steady_clock::now();
  Xdotool("key shift+Tab space");
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client_->Pid()) >= 2; }, 10))
      << "no time-out message";
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - paused).count();
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 8.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-timeout.png");
  EXPECT_FALSE(WaitForWindow("Problem getting case list").empty());
  Xdotool("key Return");
  hospd_->Resume();
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client_->Pid()) == 1; }, 10));
  Xdotool("key space");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(VisibleWindows(client_->Pid()), 1) << "the refresh after the time-out failed";
  EXPECT_FALSE(client_->Ended()) << "the program ended on its own";
}

struct ManagerRow {
  const char* name;
  const char* manager;  // the window manager's program, or none
};

void PrintTo(const ManagerRow& row, std::ostream* out) { *out << row.name; }

class PellomarquinFrameTest : public PellomarquinGuiTest,
                              public ::testing::WithParamInterface<ManagerRow> {};

// The outer frame of a window of `size` centred on the virtual screen, which has no panels.
QRect Centred(const QSize& size) {
  return QRect(
      QPoint((kScreenSize.width() - size.width()) / 2, (kScreenSize.height() - size.height()) / 2),
      size);
}

// Both windows stand centred on the screen by their outer frame, and the case list's
// outer frame is 616 x 616, whether a window manager draws frames around them or not.
TEST_P(PellomarquinFrameTest, WindowsAreCentredByTheirOuterFrame) {
  StartClient(GetParam().manager);
  if (IsSkipped() || HasFatalFailure()) return;

  const std::string login = WaitForWindow("Hospital Discharge Client Login");
  ASSERT_FALSE(login.empty()) << "the login window did not appear";
  if (GetParam().manager != nullptr) {
    ASSERT_TRUE(Eventually([&] { return FrameExtents(login)[2] > 0; }, 10))
        << "the window manager drew no frame";
  }
  QRect outer;
  Eventually([&] { return (outer = OuterFrame(login)) == Centred(outer.size()); }, 10);
  EXPECT_EQ(outer, Centred(outer.size()));
  SaveScreen(std::string("gui-frame-") + GetParam().name + "-login.png");
  LogIn(login);

  const std::string cases = WaitForWindow("Physician Approval App");
  ASSERT_FALSE(cases.empty()) << "the case list did not appear";
  Eventually([&] { return OuterFrame(cases) == Centred(QSize(616, 616)); }, 10);
  EXPECT_EQ(OuterFrame(cases), Centred(QSize(616, 616)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen(std::string("gui-frame-") + GetParam().name + "-caselist.png");
}

INSTANTIATE_TEST_SUITE_P(Managers, PellomarquinFrameTest,
                         ::testing::Values(ManagerRow{"NoWindowManager", nullptr},
                                           ManagerRow{"Openbox", "openbox"}),
                         RowName());

// Without a session (root under a test screen, no XDG_RUNTIME_DIR) the program still starts
// without the toolkit's warning about the runtime folder: it provides a private one itself.
TEST(PellomarquinStartTest, NoRuntimeFolderWarningWithoutASession) {
  const char* build = std::getenv("HOSP_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  const TempFolder temp("pellomarquin-start");
  const ScopedEnvironment tmpdir("TMPDIR", temp.Path().string());
  const ScopedEnvironment runtime("XDG_RUNTIME_DIR", std::nullopt);
  const ScopedEnvironment platform("QT_QPA_PLATFORM", "offscreen");
  // Without servers it stops at its message box; the limit ends it there.
  const fs::path program = fs::path(build) / "src" / "app" / "Pellomarquin.exe";
  const CommandOutcome run = RunProgram(program.string(), {}, "", std::chrono::seconds(2));
  EXPECT_EQ(run.err.find("XDG_RUNTIME_DIR"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("QStandardPaths"), std::string::npos) << run.err;
}

}  // namespace
