// One whole client session in one process, built as the program's main builds it: start,
// login, refresh, approval, close. Run under LeakSanitizer (the sanitizer build) or valgrind
// (tools/leakcheck.sh), the process's end shows whether the session leaked anything of ours.
#include <gtest/gtest.h>

#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

#include "AppFonts.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "LabeledEdit.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "WindowWiring.h"

namespace {

constexpr int kStepMs = 20;
constexpr int kSessionLimitMs = 60000;

// Plays the physician: each step runs once the window shows what it waits for.
class Physician {
 public:
  Physician(TLoginForm& login, TForm1& cases) : login_(login), cases_(cases) {
    timer_.setInterval(kStepMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Step(); });
    timer_.start();
  }

  int approved_from = 0;  // cases listed before the approval
  int approved_to = 0;    // and after it

 private:
  void Step() {
    if (step_ == 0 && FunctionConnection != nullptr) {
      login_.UserEdit->setText(QStringLiteral("anna.weber@hospital.example"));
      login_.PasswordEdit->setText(QStringLiteral("demo"));
      login_.LoginButton->click();
      ++step_;
    } else if (step_ == 1 && cases_.isVisible()) {
      cases_.RefreshListButton->click();
      approved_from = cases_.CasesListBox->count();
      cases_.CasesListBox->setCurrentRow(0);
      cases_.CasesListBoxDblClick();
      approved_to = cases_.CasesListBox->count();
      cases_.close();  // closes the login window too, which ends the program
      ++step_;
    }
  }

  TLoginForm& login_;
  TForm1& cases_;
  QTimer timer_;
  int step_ = 0;
};

}  // namespace

// The whole session succeeds: the physician logs in, refreshes, approves one case and closes.
TEST(LeakSessionTest, WholeSessionEndsCleanly) {
  HospdProcess server;
  std::vector<std::string> shown;
  MessageBox::SetHandler([&shown](const std::string& text, const std::string&, MessageButtons) {
    shown.push_back(text);
    return MessageAnswer::Ok;
  });

  int argc = 1;
  char name[] = "LeakSessionTest";
  char* argv[] = {name, nullptr};
  HospApplication app(argc, argv);
  HospApplication::setApplicationName(QStringLiteral("Pellomarquin"));
  InstallFontSubstitutes();
  {
    TLoginForm login_form;
    LoginForm = &login_form;
    TForm1 case_list;
    Form1 = &case_list;
    ConnectWindows(login_form, case_list);  // as main does
    login_form.DataServerIP = login_form.FunctionServerIP = "127.0.0.1";
    login_form.DataServerPort = std::to_string(server.DataPort());
    login_form.FunctionServerPort = std::to_string(server.FunctionPort());

    Physician physician(login_form, case_list);
    QTimer::singleShot(kSessionLimitMs, [] { HospApplication::Terminate(); });
    login_form.show();
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(physician.approved_from, 12);
    EXPECT_EQ(physician.approved_to, 11);

    FunctionConnection.reset();
    DataConnection.reset();
    Form1 = nullptr;
    LoginForm = nullptr;
  }
  MessageBox::SetHandler(nullptr);
  EXPECT_EQ(shown, std::vector<std::string>{"Approve this discharge?"});
}
