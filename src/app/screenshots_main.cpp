// hosp_screenshots: renders both windows of the client, logged in against the servers named
// in the "Hosp.ini" beside this program, into login.png and caselist.png.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QString>

#include "AppFonts.h"
#include "HospApplication.h"
#include "LabeledEdit.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "RuntimeFolder.h"
#include "TForm1.h"
#include "TLoginForm.h"

namespace {

// Handles events until `done` holds; false after `seconds` without it.
bool WaitFor(const std::function<bool()>& done, int seconds) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > seconds * 1000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return true;
}

bool Save(QWidget& window, const QString& path) {
  if (window.grab().save(path, "PNG")) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

int Fail(const char* reason) {
  std::fprintf(stderr, "hosp_screenshots: %s\n", reason);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: hosp_screenshots OUTPUT_FOLDER EMAIL PASSWORD\n");
    return 2;
  }
  ProvideRuntimeFolder();
  HospApplication app(argc, argv);
  HospApplication::setApplicationName(QStringLiteral("Pellomarquin"));
  InstallFontSubstitutes();
  const QString folder = QString::fromLocal8Bit(argv[1]);
  MessageBox::SetHandler([](const std::string& text, const std::string& caption, MessageButtons) {
    std::fprintf(stderr, "message box \"%s\": %s\n", caption.c_str(), text.c_str());
    return MessageAnswer::Ok;
  });

  TLoginForm login_form;
  LoginForm = &login_form;
  TForm1 case_list;
  Form1 = &case_list;
  login_form.show();
  if (!WaitFor([] { return DataConnection != nullptr; }, 30) || HospApplication::Terminated()) {
    return Fail("the servers named in Hosp.ini did not answer");
  }

  login_form.UserEdit->setText(QString::fromLocal8Bit(argv[2]));
  login_form.PasswordEdit->setText(QString::fromLocal8Bit(argv[3]));
  if (!Save(login_form, folder + QStringLiteral("/login.png"))) return 1;

  login_form.LoginButtonClick();
  if (HospApplication::Terminated() || !case_list.isVisible()) return Fail("the login was refused");
  WaitFor([] { return false; }, 1);  // let the list lay itself out
  if (!Save(case_list, folder + QStringLiteral("/caselist.png"))) return 1;

  FunctionConnection.reset();
  DataConnection.reset();
  return 0;
}
