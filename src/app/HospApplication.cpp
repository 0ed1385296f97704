// The application object: event loop, terminate request and the report of an unexpected error.
#include "HospApplication.h"

#include <exception>
#include <string>

#include <QEventLoop>

#include "MessageBox.h"
#include "QtText.h"
#include "dbUserInterface.h"

bool HospApplication::terminated_ = false;
QEventLoop* HospApplication::main_loop_ = nullptr;

namespace {

void ShowConnectionMessage(const std::string& text, const std::string& caption) {
  MessageBox::Show(text, caption, MessageButtons::Ok);
}

void ProcessPendingEvents() { QCoreApplication::processEvents(); }

}  // namespace

HospApplication::HospApplication(int& argc, char** argv) : QApplication(argc, argv) {
  dbUserInterface::ShowMessage = ShowConnectionMessage;
  dbUserInterface::ProcessEvents = ProcessPendingEvents;
}

HospApplication::~HospApplication() {
  dbUserInterface::ShowMessage = nullptr;
  dbUserInterface::ProcessEvents = nullptr;
}

int HospApplication::Run() {
  if (terminated_) return 0;
  // A loop of our own: ending it leaves the loops of open message boxes alone, which
  // QCoreApplication::exit would end as well.
  QEventLoop loop;
  main_loop_ = &loop;
  const int result = loop.exec();
  main_loop_ = nullptr;
  return result;
}

void HospApplication::Terminate() {
  terminated_ = true;
  if (main_loop_ != nullptr) main_loop_->exit(0);
}

bool HospApplication::Terminated() { return terminated_; }

void HospApplication::ClearTerminate() {
  terminated_ = false;
  dbUserInterface::ResetWaits();
}

bool HospApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ReportException(error.what());
  } catch (...) {
    ReportException("");
  }
  return false;
}

void HospApplication::ReportException(const char* message) {
  // The usual form of this report: the message under the program's name.
  MessageBox::Show(message, ToStdString(QCoreApplication::applicationName()), MessageButtons::Ok);
  Terminate();
}
