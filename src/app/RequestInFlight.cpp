// One request to a server at a time: while one waits, the windows repaint, move and close,
// but take no input, so that no second request can start under the first.
#include "RequestInFlight.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QEvent>
#include <QWidget>

#include "MessageBox.h"
#include "dbServerConnection.h"

int RequestInFlight::depth_ = 0;

namespace {

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
      return true;
    default:
      return false;
  }
}

// Holds back the user's input to the application's windows. Painting, moving and the
// window system's close request are no input and pass; so does everything meant for a
// dialog, such as a message box shown while the request runs.
class InputHold : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (!IsUserInput(event->type()) || !watched->isWidgetType()) return false;
    const QWidget* window = static_cast<QWidget*>(watched)->window();
    return qobject_cast<const QDialog*>(window) == nullptr;
  }
};

InputHold* hold = nullptr;  // installed while a request is in flight

}  // namespace

RequestInFlight::RequestInFlight() {
  if (depth_++ > 0 || QCoreApplication::instance() == nullptr) return;
  hold = new InputHold;
  QCoreApplication::instance()->installEventFilter(hold);
  QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));  // the busy (hourglass) cursor
}

RequestInFlight::~RequestInFlight() {
  if (--depth_ > 0 || hold == nullptr) return;
  QApplication::restoreOverrideCursor();
  delete hold;  // leaves the application's filters with it
  hold = nullptr;
}

bool RequestInFlight::Active() { return depth_ > 0; }

RequestOutcome RequestInFlight::Run(const std::unique_ptr<dbServerConnection>& connection,
                                    const std::string& caption,
                                    const std::function<bool()>& request,
                                    const std::string& failure) {
  bool succeeded = false;
  {
    RequestInFlight busy;
    succeeded = request();
  }
  // Reports come once the busy cursor and the input are back: the user is to answer them.
  if (succeeded) return RequestOutcome::Succeeded;
  if (ReportTimeout(connection.get(), caption)) return RequestOutcome::TimedOut;
  if (!failure.empty()) MessageBox::Show(failure, caption);
  return RequestOutcome::Failed;
}

bool RequestInFlight::ReportTimeout(const dbServerConnection* connection,
                                    const std::string& caption) {
  if (connection == nullptr || !connection->TimedOut) return false;
  MessageBox::Show(connection->TimeoutText(), caption);
  return true;
}
