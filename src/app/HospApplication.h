// The application object: event loop, terminate request and the report of an unexpected error.
#pragma once

#include <QApplication>

class QEventLoop;

class HospApplication : public QApplication {
 public:
  // Initialises the toolkit and fills the server connection's hooks (messages, events).
  HospApplication(int& argc, char** argv);
  ~HospApplication() override;

  // Runs the event loop until Terminate; returns at once when it was already requested.
  int Run();

  // Asks the application to end: the event loop ends once the handler that asked has
  // returned to it. Message boxes opened by that handler before it returns still run.
  static void Terminate();
  static bool Terminated();
  // Forgets an earlier request, and a close that cancelled the server waits (tests run one
  // program after another in one process).
  static void ClearTerminate();

  // Reports an exception that escaped an event handler, then ends the program.
  bool notify(QObject* receiver, QEvent* event) override;

 private:
  static void ReportException(const char* message);

  static bool terminated_;
  static QEventLoop* main_loop_;
};
