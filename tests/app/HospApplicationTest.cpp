// The application's end: the event loop ends after the handler that asked for it, whose
// later message boxes still run; an escaped exception is reported and ends the program.
#include "HospApplication.h"

#include <stdexcept>
#include <vector>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>

#include "AppTestSupport.h"
#include "dbUserInterface.h"

namespace {

class HospApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override { HospApplication::ClearTerminate(); }
  void TearDown() override { HospApplication::ClearTerminate(); }

  // Runs the event loop with a watchdog; false when the watchdog had to end it.
  static bool RunBounded() {
    bool timed_out = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&timed_out] {
      timed_out = true;
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
      HospApplication::Terminate();
    });
    watchdog.start(5000);
    static_cast<HospApplication*>(QCoreApplication::instance())->Run();
    return !timed_out;
  }
};

// A box opened after the request still shows; the loop ends once the handler is done.
TEST_F(HospApplicationTest, TerminateWaitsForTheRunningHandler) {
  bool second_box_answered = false;
  bool handler_finished = false;
  QTimer::singleShot(0, [&] {
    HospApplication::Terminate();
    QTimer::singleShot(0, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->button(QMessageBox::Ok)->click();
      }
    });
    second_box_answered = MessageBox::ShowModal("Unable to connect to function server", "Error",
                                                MessageButtons::Ok) == MessageAnswer::Ok;
    handler_finished = true;
  });
  EXPECT_TRUE(RunBounded());
  EXPECT_TRUE(second_box_answered);
  EXPECT_TRUE(handler_finished);
  EXPECT_TRUE(HospApplication::Terminated());
}

// A request made before the loop starts ends it at once.
TEST_F(HospApplicationTest, TerminateBeforeRunReturnsAtOnce) {
  HospApplication::Terminate();
  EXPECT_TRUE(RunBounded());
}

// An exception out of a handler is shown with its message and ends the program.
TEST_F(HospApplicationTest, EscapedExceptionIsReportedAndEnds) {
  AnsweredMessages messages;
  QTimer::singleShot(0, [] { throw std::runtime_error("receive buffer: out of memory"); });
  EXPECT_TRUE(RunBounded());
  ASSERT_EQ(messages.Shown().size(), 1u);
  EXPECT_EQ(messages.Shown()[0].text, "receive buffer: out of memory");
  EXPECT_EQ(messages.Shown()[0].caption, "Pellomarquin");
  EXPECT_TRUE(HospApplication::Terminated());
}

// The server connection's hooks reach the user through the message box and run pending events.
TEST_F(HospApplicationTest, ConnectionHooksAreFilled) {
  AnsweredMessages messages;
  ASSERT_NE(dbUserInterface::ShowMessage, nullptr);
  ASSERT_NE(dbUserInterface::ProcessEvents, nullptr);
  dbUserInterface::ShowMessage("Request too long", "Error");
  EXPECT_EQ(messages.Shown(),
            (std::vector<ShownMessage>{{"Request too long", "Error", MessageButtons::Ok}}));
  bool ran = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
  dbUserInterface::ProcessEvents();
  EXPECT_TRUE(ran);
}

}  // namespace
