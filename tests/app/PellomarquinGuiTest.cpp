// The real program as a physician uses it: under Xvfb, typed into and clicked with xdotool,
// against the reference servers; the approval is checked in the server's database and on
// screenshots of the virtual screen.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>

#include <gtest/gtest.h>

#include "HospdProcess.h"
#include "XwdImage.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";
constexpr const char* kPassword = "demo";

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// The output of a shell command, trailing line ends dropped.
std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Polls `done` every 100 ms for up to `seconds`.
template <typename Condition>
bool Eventually(Condition done, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

// A child process that is stopped (SIGTERM, then SIGKILL) when the object goes.
class Child {
 public:
  Child(std::vector<std::string> args, const std::vector<std::string>& extra_environment,
        int keep_fd = -1) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment(extra_environment);
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (keep_fd < 0) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // True when the process has ended by itself.
  bool Ended() {
    if (pid_ <= 0) return true;
    if (::waitpid(pid_, &status_, WNOHANG) != pid_) return false;
    pid_ = -1;
    return true;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!Eventually([this] { return Ended(); }, 5)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

// A virtual X screen whose frame buffer is kept in a file.
class VirtualScreen {
 public:
  explicit VirtualScreen(const fs::path& frame_folder) : frame_folder_(frame_folder) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                 "1024x768x24", "-fbdir", frame_folder.string(), "-nolisten",
                                 "tcp"},
        std::vector<std::string>{}, fds[1]);
    ::close(fds[1]);
    display_ = ReadDisplay(fds[0]);
    ::close(fds[0]);
  }

  bool Ready() const { return !display_.empty(); }
  const std::string& Display() const { return display_; }
  QImage Screen() const { return ReadXwd((frame_folder_ / "Xvfb_screen0").string()); }

 private:
  static std::string ReadDisplay(int fd) {
    std::string number;
    pollfd entry{fd, POLLIN, 0};
    char c = 0;
    while (::poll(&entry, 1, 10000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') number += c;
    return number.empty() ? std::string() : ":" + number;
  }

  fs::path frame_folder_;
  std::unique_ptr<Child> server_;
  std::string display_;
};

int CountPixels(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == colour ? 1 : 0;
  }
  return count;
}

class PellomarquinGuiTest : public ::testing::Test {
 protected:
  std::string Xdotool(const std::string& arguments) {
    return Output("DISPLAY=" + screen_->Display() + " timeout 20 xdotool " + arguments +
                  " 2>/dev/null");
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
  std::string Sql(const std::string& query) {
    return Output("sqlite3 -readonly '" + hospd_->DatabasePath() + "' \"" + query + "\"");
  }
  void SaveScreen(const std::string& name) {
    const fs::path path = fs::path(std::getenv("HOSP_BUILD_DIR")) / "tests" / "app" / name;
    EXPECT_TRUE(screen_->Screen().save(QString::fromStdString(path.string()), "PNG")) << path;
  }

  // Demo servers, a copy of the program with a Hosp.ini (plus `ini_extra` in both server
  // sections) and a virtual screen; false (with the reason reported) when a part is missing.
  bool Prepare(const std::string& ini_extra) {
    for (const char* tool : {"Xvfb", "xvfb-run", "xdotool", "sqlite3"}) {
      if (!OnPath(tool)) {
        ADD_FAILURE() << tool << " is not installed (tools/deps.sh installs it)";
        return false;
      }
    }
    const char* build = std::getenv("HOSP_BUILD_DIR");
    if (build == nullptr) {
      ADD_FAILURE() << "HOSP_BUILD_DIR is not set";
      return false;
    }
    hospd_ = std::make_unique<HospdProcess>();
    folder_ = fs::path(hospd_->DataDir()).parent_path() / "client";
    fs::create_directories(folder_ / "screen");
    fs::copy_file(fs::path(build) / "src" / "app" / "Pellomarquin.exe",
                  folder_ / "Pellomarquin.exe");
    std::ofstream(folder_ / "Hosp.ini")
        << "[DataServer]\nIP=127.0.0.1\nPort=" << hospd_->DataPort() << "\n" << ini_extra
        << "[FunctionServer]\nIP=127.0.0.1\nPort=" << hospd_->FunctionPort() << "\n"
        << ini_extra;
    screen_ = std::make_unique<VirtualScreen>(folder_ / "screen");
    if (!screen_->Ready()) ADD_FAILURE() << "Xvfb did not start";
    return screen_->Ready();
  }

  std::unique_ptr<Child> StartClient() {
    return std::make_unique<Child>(
        std::vector<std::string>{(folder_ / "Pellomarquin.exe").string()},
        std::vector<std::string>{"DISPLAY=" + screen_->Display(), "QT_QPA_PLATFORM=xcb"});
  }

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
  fs::path folder_;
};

// Type the demo physician's address and password, log in, double-click the first case,
// confirm with Enter: the server records the approval and the case leaves the list.
TEST_F(PellomarquinGuiTest, PhysicianApprovesTheFirstCase) {
  for (const char* tool : {"Xvfb", "xvfb-run", "xdotool"}) {
    if (!OnPath(tool)) GTEST_SKIP() << tool << " is not installed (Debian packages xvfb, xdotool)";
  }
  ASSERT_TRUE(OnPath("sqlite3"));
  const char* build = std::getenv("HOSP_BUILD_DIR");
  ASSERT_NE(build, nullptr);

  hospd_ = std::make_unique<HospdProcess>();
  const fs::path folder = fs::path(hospd_->DataDir()).parent_path() / "client";
  fs::create_directories(folder / "screen");
  fs::copy_file(fs::path(build) / "src" / "app" / "Pellomarquin.exe", folder / "Pellomarquin.exe");
  std::ofstream(folder / "Hosp.ini")
      << "[DataServer]\nIP=127.0.0.1\nPort=" << hospd_->DataPort()
      << "\n[FunctionServer]\nIP=127.0.0.1\nPort=" << hospd_->FunctionPort() << "\n";
  screen_ = std::make_unique<VirtualScreen>(folder / "screen");
  ASSERT_TRUE(screen_->Ready()) << "Xvfb did not start";

  const std::string doctor =
      Sql("SELECT Seq FROM Personnel WHERE Email = '" + std::string(kEmail) + "';");
  const std::string open_cases =
      "FROM Cases WHERE DoctorSeq = " + doctor + " AND upper(f25) <> 'Y'";
  const std::string open_before = Sql("SELECT count(*) " + open_cases + ";");
  const std::string first_date = Sql("SELECT min(f13) " + open_cases + ";");
  ASSERT_GT(std::stoi(open_before), 1);

  Child client({(folder / "Pellomarquin.exe").string()},
               {"DISPLAY=" + screen_->Display(), "QT_QPA_PLATFORM=xcb"});
  ASSERT_TRUE(client.Started());
  const std::string login = WaitForWindow("Hospital Discharge Client Login");
  ASSERT_FALSE(login.empty()) << "the login window did not appear";
  Xdotool("mousemove --window " + login + " 200 42 click 1");
  Xdotool("type --delay 20 '" + std::string(kEmail) + "'");
  Xdotool("mousemove --window " + login + " 160 82 click 1");
  Xdotool("type --delay 20 '" + std::string(kPassword) + "'");
  SaveScreen("gui-login.png");
  Xdotool("mousemove --window " + login + " 164 124 click 1");

  const std::string cases = WaitForWindow("Physician Approval App");
  ASSERT_FALSE(cases.empty()) << "the case list did not appear";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  SaveScreen("gui-caselist.png");
  EXPECT_GT(CountPixels(screen_->Screen(), qRgb(0, 128, 0)), 0)
      << "no green needs heading on screen";

  Xdotool("mousemove --window " + cases + " 120 110 click --repeat 2 --delay 120 1");
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client.Pid()) >= 2; }, 10))
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
  EXPECT_EQ(VisibleWindows(client.Pid()), 1);
  EXPECT_FALSE(client.Ended()) << "the program ended on its own";
}

// Only the keyboard: the address, Tab, the password, Tab, the space bar logs in; in the case
// list Tab reaches the list, Down moves to the second case, Enter asks and Enter confirms: the
// server records that approval. Then, with "Timeout=2" and the function server paused, a
// refresh reports the server after about two seconds, and works again once it answers.
TEST_F(PellomarquinGuiTest, PhysicianApprovesWithTheKeyboard) {
  if (!Prepare("Timeout=2\n")) return;
  const std::vector<std::string> open_before = OpenCases();
  ASSERT_GT(open_before.size(), 2u);

  auto client = StartClient();
  ASSERT_TRUE(client->Started());
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
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client->Pid()) >= 2; }, 10))
      << "no confirmation box";
  Xdotool("key Return");
  ASSERT_TRUE(Eventually([&] { return OpenCases().size() == open_before.size() - 1; }, 10));
  EXPECT_EQ(Sql("SELECT CaseSeq FROM Approvals ORDER BY Seq DESC LIMIT 1;"), open_before[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  SaveScreen("gui-keyboard-approved.png");

  hospd_->Pause();
  const auto paused = std::chrono::steady_clock::now();
  Xdotool("key shift+Tab space");
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client->Pid()) >= 2; }, 10))
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
  ASSERT_TRUE(Eventually([&] { return VisibleWindows(client->Pid()) == 1; }, 10));
  Xdotool("key space");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(VisibleWindows(client->Pid()), 1) << "the refresh after the time-out failed";
  EXPECT_FALSE(client->Ended()) << "the program ended on its own";
}

}  // namespace
