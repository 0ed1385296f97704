// Shared pieces of the client's tests: the application object, answered message boxes,
// bounded waits and fixtures with fresh program state (one with reference servers of its own).
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include <gtest/gtest.h>

#include "HospdProcess.h"
#include "MessageBox.h"
#include "RowName.h"

class QWidget;
class TForm1;
class TLoginForm;

struct ShownMessage {
  std::string text;
  std::string caption;
  MessageButtons buttons;

  bool operator==(const ShownMessage& other) const = default;
};

// Answers every message box instead of the user while it lives, and keeps what was shown.
class AnsweredMessages {
 public:
  AnsweredMessages();
  ~AnsweredMessages();
  AnsweredMessages(const AnsweredMessages&) = delete;
  AnsweredMessages& operator=(const AnsweredMessages&) = delete;

  // The answer to the next question; without one, every box is answered with OK.
  void AnswerNext(MessageAnswer answer) { answers_.push_back(answer); }
  const std::vector<ShownMessage>& Shown() const { return shown_; }
  void Forget() { shown_.clear(); }

 private:
  std::vector<ShownMessage> shown_;
  std::deque<MessageAnswer> answers_;
};

// Handles events until `done` holds or `milliseconds` have passed; returns `done()`.
bool WaitUntil(const std::function<bool()>& done, int milliseconds = 10000);
// Handles events for about `milliseconds`.
void HandleEventsFor(int milliseconds);

// Each test starts from the state of a freshly started program.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the login window and the hidden case list window as start-up does.
  void BuildWindows();
  // Points the login window at the servers and runs its first paint; true when it ran.
  bool ShowLoginWindow(const std::string& data_port, const std::string& function_port);
  // Types the address and the password and presses "Log In".
  void LogIn(const std::string& email, const std::string& password);

  AnsweredMessages messages_;
  std::unique_ptr<TLoginForm> login_;
  std::unique_ptr<TForm1> form1_;
};

// The demo physician with twelve open cases.
constexpr const char* kAnna = "anna.weber@hospital.example";
constexpr std::size_t kAnnasCases = 12;

// A ClientTest against reference servers of its own, on fresh demo data.
class DemoServerTest : public ClientTest {
 public:
  // The login window against the servers, both connections made; each answer is awaited at
  // most `timeout` seconds (-1: without limit).
  void Start(int timeout = -1);
  // Anna logged in, her case list filled.
  void LogInAsAnna(int timeout = -1);
  // Double-clicks the first listed case.
  void ApproveFirstCase();

 protected:
  std::string DataPort() const { return std::to_string(server_.DataPort()); }
  std::string FunctionPort() const { return std::to_string(server_.FunctionPort()); }
  // One column of a case, as the server's database holds it.
  std::string CaseField(const std::string& seq, const std::string& column) const;

  HospdProcess server_;
};

// The fingerprint hospd printed for its certificate when it started ("Fingerprint" in
// "Hosp.ini"), or empty when it printed none within 10 s.
std::string LoggedFingerprint(const HospdProcess& hospd);

// The widgets that take the focus with Tab, in their order, starting at `first`.
std::vector<QWidget*> TabChain(QWidget* first, int count);

// A port on 127.0.0.1 where nothing listens.
std::string ClosedPort();

// The single value a query gives on an SQLite file, read with the sqlite3 program.
std::string SqlValue(const std::string& database, const std::string& query);

// Calls `on_event` for every event of `watched` while it lives.
class EventSpy : public QObject {
 public:
  EventSpy(QObject* watched, std::function<void(QEvent*)> on_event);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void(QEvent*)> on_event_;
};
