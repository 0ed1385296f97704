// Shared pieces of the client's tests: the application object, answered message boxes,
// bounded waits and a fixture with fresh program state.
#include "AppTestSupport.h"

#include <cstdio>
#include <regex>
#include <utility>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QWidget>

#include "AppFonts.h"
#include "HospApplication.h"
#include "LabeledEdit.h"
#include "Loopback.h"
#include "ProgramState.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "WindowWiring.h"

namespace {

// One application object for the whole test program, as in the client.
class ApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    app_ = std::make_unique<HospApplication>(argc_, argv_);
    HospApplication::setApplicationName(QStringLiteral("Pellomarquin"));
    InstallFontSubstitutes();
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "AppTest";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<HospApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

}  // namespace

AnsweredMessages::AnsweredMessages() {
  MessageBox::SetHandler(
      [this](const std::string& text, const std::string& caption, MessageButtons buttons) {
        shown_.push_back({text, caption, buttons});
        if (answers_.empty()) return MessageAnswer::Ok;
        const MessageAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
      });
}

AnsweredMessages::~AnsweredMessages() { MessageBox::SetHandler(nullptr); }

bool WaitUntil(const std::function<bool()>& done, int milliseconds) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > milliseconds) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void HandleEventsFor(int milliseconds) {
  WaitUntil([] { return false; }, milliseconds);
}

void ClientTest::SetUp() {
  HospApplication::ClearTerminate();
  FunctionConnection.reset();
  DataConnection.reset();
  LoginRecord.Clear();
}

void ClientTest::TearDown() {
  form1_.reset();
  login_.reset();
  Form1 = nullptr;
  LoginForm = nullptr;
  FunctionConnection.reset();
  DataConnection.reset();
  HospApplication::ClearTerminate();
}

void ClientTest::BuildWindows() {
  login_ = std::make_unique<TLoginForm>();
  LoginForm = login_.get();
  form1_ = std::make_unique<TForm1>();
  Form1 = form1_.get();
  ConnectWindows(*login_, *form1_);  // as main does
}

bool ClientTest::ShowLoginWindow(const std::string& data_port, const std::string& function_port) {
  login_->DataServerIP = "127.0.0.1";
  login_->DataServerPort = data_port;
  login_->FunctionServerIP = "127.0.0.1";
  login_->FunctionServerPort = function_port;
  login_->show();
  return WaitUntil([] { return FunctionConnection != nullptr; });
}

void ClientTest::LogIn(const std::string& email, const std::string& password) {
  login_->UserEdit->setText(QString::fromStdString(email));
  login_->PasswordEdit->setText(QString::fromStdString(password));
  login_->LoginButtonClick();
}

void DemoServerTest::Start(int timeout) {
  BuildWindows();
  login_->DataServerTimeout = timeout;
  login_->FunctionServerTimeout = timeout;
  ASSERT_TRUE(ShowLoginWindow(DataPort(), FunctionPort()));
}

void DemoServerTest::LogInAsAnna(int timeout) {
  Start(timeout);
  ASSERT_FALSE(HasFatalFailure());
  LogIn(kAnna, "demo");
  ASSERT_TRUE(messages_.Shown().empty()) << messages_.Shown().front().text;
  ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
}

void DemoServerTest::ApproveFirstCase() {
  form1_->CasesListBox->setCurrentRow(0);
  form1_->CasesListBoxDblClick();
}

std::string DemoServerTest::CaseField(const std::string& seq, const std::string& column) const {
  return SqlValue(server_.DatabasePath(), "SELECT " + column + " FROM Cases WHERE Seq=" + seq);
}

// The server logs it just after it has written its ports file: it may take a moment.
std::string LoggedFingerprint(const HospdProcess& hospd) {
  const std::regex line("certificate SHA-256 fingerprint ([0-9A-F:]{95})");
  std::string fingerprint;
  WaitUntil([&] {
    std::smatch match;
    const std::string log = hospd.LogText();
    if (std::regex_search(log, match, line)) fingerprint = match[1].str();
    return !fingerprint.empty();
  });
  return fingerprint;
}

std::vector<QWidget*> TabChain(QWidget* first, int count) {
  std::vector<QWidget*> chain;
  for (QWidget* w = first; static_cast<int>(chain.size()) < count; w = w->nextInFocusChain()) {
    if (w->focusPolicy() & Qt::TabFocus) chain.push_back(w);
    if (w->nextInFocusChain() == first) break;
  }
  return chain;
}

std::string ClosedPort() { return std::to_string(FreeLoopbackPort()); }

std::string SqlValue(const std::string& database, const std::string& query) {
  const std::string command = "sqlite3 -readonly '" + database + "' \"" + query + "\"";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "<sqlite3 did not start>";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

EventSpy::EventSpy(QObject* watched, std::function<void(QEvent*)> on_event)
    : QObject(watched), on_event_(std::move(on_event)) {
  watched->installEventFilter(this);
}

bool EventSpy::eventFilter(QObject* /*watched*/, QEvent* event) {
  on_event_(event);
  return false;
}
