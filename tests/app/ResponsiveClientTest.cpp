// The client while its servers keep it waiting: windows that repaint and close at once, time
// limits that name the server, one request at a time, and approval from the keyboard.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "AppTestSupport.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "LabeledEdit.h"
#include "ProgramState.h"
#include "RequestInFlight.h"
#include "ScriptedServer.h"
#include "TForm1.h"
#include "TLoginForm.h"

namespace {

using namespace std::chrono_literals;

constexpr int kLimit = 2;  // seconds, as "Timeout=2" in Hosp.ini

// Runs `action` on a thread of its own after `delay`, unless it is destroyed first: a client
// that does freeze gets its server taken away, so that the test fails instead of hanging.
class SafetyNet {
 public:
  SafetyNet(std::chrono::milliseconds delay, std::function<void()> action)
      : thread_([this, delay, action = std::move(action)] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, delay, [this] { return disarmed_; })) action();
        }) {}
  ~SafetyNet() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      disarmed_ = true;
    }
    done_.notify_all();
    thread_.join();
  }
  SafetyNet(const SafetyNet&) = delete;
  SafetyNet& operator=(const SafetyNet&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool disarmed_ = false;
  std::thread thread_;
};

class ResponsiveClientTest : public DemoServerTest {
 public:
  // Anna logged in, the case list on screen.
  void LogInAsAnna(int timeout = -1) {
    DemoServerTest::LogInAsAnna(timeout);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form1_.get()));
  }
  void LogInAnna() { LogIn(kAnna, "demo"); }
  TForm1& CaseList() { return *form1_; }
  TLoginForm& Login() { return *login_; }

 protected:
  // The messages shown, without the approval question (its caption is the patient's name).
  std::vector<ShownMessage> Reports() const {
    std::vector<ShownMessage> shown = messages_.Shown();
    std::erase_if(shown,
                  [](const ShownMessage& m) { return m.buttons == MessageButtons::OkCancel; });
    return shown;
  }
};

template <typename Row>
class RowTest : public ResponsiveClientTest, public ::testing::WithParamInterface<Row> {};

// Where the client waits: what comes before, which window the physician sees, the request.
struct Wait {
  const char* name;
  bool logged_in;
  std::function<void(ResponsiveClientTest&)> request;
};

void PrintTo(const Wait& row, std::ostream* out) { *out << row.name; }

const Wait kWaits[] = {
    {"Refresh", true, [](ResponsiveClientTest& t) { t.CaseList().RefreshListButtonClick(); }},
    {"Approval", true, [](ResponsiveClientTest& t) { t.ApproveFirstCase(); }},
    {"Login", false, [](ResponsiveClientTest& t) { t.LogInAnna(); }},
};

using WaitingWindowTest = RowTest<Wait>;

}  // namespace

// While a request waits for a paused server, the window still repaints; closing it ends the
// wait within a second and the program with it, without a message.
TEST_P(WaitingWindowTest, RepaintsAndClosesAtOnce) {
  if (GetParam().logged_in) {
    LogInAsAnna();
  } else {
    Start();
  }
  ASSERT_FALSE(HasFatalFailure());
  QWidget* window = GetParam().logged_in ? static_cast<QWidget*>(form1_.get()) : login_.get();
  messages_.Forget();
  server_.Pause();
  SafetyNet net(8s, [this] { server_.Kill(); });

  int paints_while_waiting = 0;
  EventSpy spy(window, [&paints_while_waiting](QEvent* event) {
    if (event->type() == QEvent::Paint && RequestInFlight::Active()) ++paints_while_waiting;
  });
  QElapsedTimer clock;
  clock.start();
  qint64 closed_at = -1;
  QTimer::singleShot(300, window, [window] { window->update(); });
  QTimer::singleShot(700, window, [&closed_at, &clock, window] {
    closed_at = clock.elapsed();
    window->close();
  });
  GetParam().request(*this);
  const qint64 returned_at = clock.elapsed();

  EXPECT_GT(paints_while_waiting, 0);
  ASSERT_GE(closed_at, 0) << "the close request was not handled while the request waited";
  EXPECT_LT(returned_at - closed_at, 1000);
  EXPECT_TRUE(HospApplication::Terminated());
  EXPECT_TRUE(Reports().empty()) << Reports().front().text;
}

INSTANTIATE_TEST_SUITE_P(Requests, WaitingWindowTest, ::testing::ValuesIn(kWaits), RowName());

// A data server that takes TCP connections and never says a word (no TLS): the login window
// still paints while it connects, and closing it ends the program at once.
TEST_F(ResponsiveClientTest, StartUpAgainstSilentServerClosesAtOnce) {
  ScriptedServer silent(false);
  silent.Expect([](ServerPeer& peer) { peer.WaitForClose(); });
  BuildWindows();
  int paints_while_waiting = 0;
  EventSpy spy(login_.get(), [&paints_while_waiting](QEvent* event) {
    if (event->type() == QEvent::Paint && RequestInFlight::Active()) ++paints_while_waiting;
  });
  QElapsedTimer clock;
  clock.start();
  qint64 closed_at = -1;
  QTimer::singleShot(300, login_.get(), [this] { login_->update(); });
  QTimer::singleShot(700, login_.get(), [&closed_at, &clock, this] {
    closed_at = clock.elapsed();
    login_->close();
  });
  ASSERT_TRUE(ShowLoginWindow(silent.PortText(), FunctionPort()));
  const qint64 done_at = clock.elapsed();
  EXPECT_GT(paints_while_waiting, 0);
  ASSERT_GE(closed_at, 0);
  EXPECT_LT(done_at - closed_at, 1000);
  EXPECT_TRUE(HospApplication::Terminated());
  EXPECT_TRUE(messages_.Shown().empty()) << messages_.Shown().front().text;
  EXPECT_FALSE(FunctionConnection->IsConnected());  // not even tried after the close
}

namespace {

// A request that meets a paused server under "Timeout=2": the message it shows, and what
// holds afterwards and again once the server answers.
struct Limit {
  const char* name;
  bool logged_in;
  std::function<void(ResponsiveClientTest&)> request;
  ShownMessage message;
  std::function<void(ResponsiveClientTest&)> after_timeout;
  std::function<void(ResponsiveClientTest&)> after_resume;
};

void PrintTo(const Limit& row, std::ostream* out) { *out << row.name; }

const Limit kLimits[] = {
    {"Refresh",
     true,
     [](ResponsiveClientTest& t) { t.CaseList().RefreshListButtonClick(); },
     {"The function server did not answer within 2 seconds.", "Problem getting case list",
      MessageButtons::Ok},
     [](ResponsiveClientTest& t) { EXPECT_EQ(t.CaseList().CaseObjects.size(), kAnnasCases); },
     [](ResponsiveClientTest& t) {
       t.CaseList().RefreshListButtonClick();
       EXPECT_EQ(t.CaseList().CaseObjects.size(), kAnnasCases);
     }},
    {"Approval",
     true,
     [](ResponsiveClientTest& t) { t.ApproveFirstCase(); },
     {"The data server did not answer within 2 seconds.", "Communication error",
      MessageButtons::Ok},
     [](ResponsiveClientTest& t) { EXPECT_EQ(t.CaseList().CaseObjects.size(), kAnnasCases); },
     [](ResponsiveClientTest& t) {
       t.ApproveFirstCase();
       EXPECT_EQ(t.CaseList().CaseObjects.size(), kAnnasCases - 1);
     }},
    {"Login",
     false,
     [](ResponsiveClientTest& t) { t.LogInAnna(); },
     {"The data server did not answer within 2 seconds.", "Error", MessageButtons::Ok},
     [](ResponsiveClientTest& t) {
       EXPECT_FALSE(HospApplication::Terminated());
       EXPECT_FALSE(t.Login().LoginButton->isHidden());
       EXPECT_TRUE(t.Login().ConnectingLabel->isHidden());
     },
     [](ResponsiveClientTest& t) {
       t.LogInAnna();
       EXPECT_TRUE(t.CaseList().isVisible());
       EXPECT_EQ(t.CaseList().CaseObjects.size(), kAnnasCases);
     }},
};

using TimeLimitTest = RowTest<Limit>;

}  // namespace

// With "Timeout=2" a paused server is reported after about two seconds, naming the server,
// under the caption of the request; the client goes on, and the same request succeeds once
// the server answers again.
TEST_P(TimeLimitTest, ReportsTheServerAndGoesOn) {
  const Limit& row = GetParam();
  if (row.logged_in) {
    LogInAsAnna(kLimit);
  } else {
    Start(kLimit);
  }
  ASSERT_FALSE(HasFatalFailure());
  server_.Pause();
  SafetyNet net(8s, [this] { server_.Kill(); });
  messages_.Forget();
  QElapsedTimer clock;
  clock.start();
  row.request(*this);
  const double waited = clock.elapsed() / 1000.0;

  EXPECT_EQ(Reports(), std::vector<ShownMessage>{row.message});
  EXPECT_GE(waited, kLimit - 0.1);
  EXPECT_LT(waited, kLimit + 4.0);
  row.after_timeout(*this);

  server_.Resume();
  messages_.Forget();
  row.after_resume(*this);
  EXPECT_TRUE(Reports().empty()) << Reports().front().text;
}

INSTANTIATE_TEST_SUITE_P(Requests, TimeLimitTest, ::testing::ValuesIn(kLimits), RowName());

namespace {

const char* const kThreeCases =
    "{CaseList:{101:{FieldList:{pa10:\"Alpha\",pa12:\"One\"}},"
    "102:{FieldList:{pa10:\"Beta\",pa12:\"Two\"}},103:{FieldList:{pa10:\"Gamma\",pa12:\"Three\"}}}"
    "}";

// A function server that answers every case list request with the same three cases, the
// first one after `delay`, and counts the requests.
Script CaseListServer(std::atomic<int>& requests, std::chrono::milliseconds delay) {
  return [&requests, delay](ServerPeer& peer) {
    std::string request;
    for (bool first = true; peer.ReadText(request); first = false) {
      ++requests;
      if (first) std::this_thread::sleep_for(delay);
      if (!peer.Answer(kThreeCases)) return;
    }
  };
}

// A data server that accepts the handshake and answers every update with ErrorCode 0, the
// first one after `delay`; it keeps the update texts.
Script UpdateServer(std::vector<std::string>& updates, std::mutex& lock,
                    std::chrono::milliseconds delay) {
  return [&updates, &lock, delay](ServerPeer& peer) {
    if (!peer.AcceptHandshake()) return;
    Frame frame;
    for (bool first = true; peer.ReadFrame(frame); first = false) {
      {
        std::lock_guard<std::mutex> guard(lock);
        updates.push_back(frame.text);
      }
      if (first) std::this_thread::sleep_for(delay);
      if (!peer.Answer("ErrorCode=0")) return;
    }
  };
}

class RaceTest : public ClientTest {
 protected:
  // The case list window on screen with the scripted function server's three cases.
  void ShowThreeCases(std::chrono::milliseconds first_delay) {
    function_server_.Expect(CaseListServer(requests_, first_delay));
    BuildWindows();
    FunctionConnection = std::make_unique<dbServerConnection>(
        "127.0.0.1", function_server_.PortText(), "", "", false, -1);
    form1_->DoctorSeq = "17";
    form1_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form1_.get()));
  }

  // Clicks "Refresh List" with the mouse after `delay`, while the test waits elsewhere.
  void ClickRefreshAfter(int delay) {
    QTimer::singleShot(delay, form1_.get(),
                       [this] { QTest::mouseClick(form1_->RefreshListButton, Qt::LeftButton); });
  }

  std::vector<std::string> Keys() const {
    std::vector<std::string> keys;
    for (const auto& item : form1_->CaseObjects) keys.push_back(item->CaseKey);
    return keys;
  }

  ScriptedServer function_server_{false};
  std::atomic<int> requests_{0};
};

}  // namespace

// A second click on "Refresh List" while the first refresh waits is ignored: one request,
// and the list holds the three cases once.
TEST_F(RaceTest, SecondRefreshWhileOneWaitsIsIgnored) {
  ShowThreeCases(800ms);
  ClickRefreshAfter(300);
  form1_->RefreshListButtonClick();
  HandleEventsFor(300);  // a click that was merely held back would run now
  EXPECT_EQ(requests_, 1);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"101", "102", "103"}));
  EXPECT_EQ(form1_->CasesListBox->count(), 3);
  EXPECT_TRUE(messages_.Shown().empty());
}

// A refresh clicked while an approval waits does not run, so the approval removes the case it
// approved and no other.
TEST_F(RaceTest, RefreshDuringApprovalIsIgnored) {
  ScriptedServer data_server(true);
  std::vector<std::string> updates;
  std::mutex lock;
  data_server.Expect(UpdateServer(updates, lock, 800ms));
  ShowThreeCases(0ms);
  DataConnection = std::make_unique<dbServerConnection>("127.0.0.1", data_server.PortText(),
                                                        "Pellomarquin", "", true, -1);
  form1_->RefreshListButtonClick();
  ASSERT_EQ(Keys(), (std::vector<std::string>{"101", "102", "103"}));

  form1_->CasesListBox->setCurrentRow(1);
  ClickRefreshAfter(300);
  form1_->CasesListBoxDblClick();
  HandleEventsFor(300);
  EXPECT_EQ(requests_, 1);
  EXPECT_EQ(Keys(), (std::vector<std::string>{"101", "103"}));
  EXPECT_EQ(form1_->CasesListBox->count(), 2);
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_NE(updates[0].find("Seq=102"), std::string::npos) << updates[0];
}

namespace {

// Keys that move the focus through the case list, the key that approves, and which entry
// that is then.
struct KeyApproval {
  const char* name;
  std::vector<Qt::Key> moves;
  Qt::Key approve;
  int entry;
};

void PrintTo(const KeyApproval& row, std::ostream* out) { *out << row.name; }

const KeyApproval kKeyApprovals[] = {
    {"ReturnOnTheSecond", {Qt::Key_Tab, Qt::Key_Down}, Qt::Key_Return, 1},
    {"EnterOnTheLast", {Qt::Key_Tab, Qt::Key_End}, Qt::Key_Enter, 11},
    {"SpaceAfterPageDownAndHome",
     {Qt::Key_Tab, Qt::Key_PageDown, Qt::Key_Home, Qt::Key_Down, Qt::Key_Down},
     Qt::Key_Space,
     2},
};

using KeyboardApprovalTest = RowTest<KeyApproval>;

}  // namespace

// From "Refresh List", Tab reaches the list; the arrow keys, Home, End and Page Down move the
// focus; Enter or the space bar asks as the double-click does, and OK approves that case in
// the database. A key held down does not open the question again and again.
TEST_P(KeyboardApprovalTest, KeyApprovesTheFocusedCase) {
  const KeyApproval& row = GetParam();
  LogInAsAnna();
  ASSERT_FALSE(HasFatalFailure());
  form1_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form1_.get()));
  form1_->RefreshListButton->setFocus(Qt::OtherFocusReason);
  const std::string key = form1_->CaseObjects[static_cast<std::size_t>(row.entry)]->CaseKey;
  const std::string title = form1_->CaseObjects[static_cast<std::size_t>(row.entry)]->Title();

  for (Qt::Key move : row.moves) QTest::keyClick(QApplication::focusWidget(), move);
  ASSERT_EQ(QApplication::focusWidget(), form1_->CasesListBox);
  QKeyEvent held(QEvent::KeyPress, row.approve, Qt::NoModifier, QString(), true);
  QApplication::sendEvent(form1_->CasesListBox, &held);
  EXPECT_TRUE(messages_.Shown().empty());
  QTest::keyClick(form1_->CasesListBox, row.approve);

  EXPECT_EQ(
      messages_.Shown(),
      (std::vector<ShownMessage>{{"Approve this discharge?", title, MessageButtons::OkCancel}}));
  EXPECT_EQ(CaseField(key, "f25"), "Y");
  EXPECT_EQ(SqlValue(server_.DatabasePath(), "SELECT COUNT(*) FROM Approvals"), "1");
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases - 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyboardApprovalTest, ::testing::ValuesIn(kKeyApprovals), RowName());
