// Every report and question to the user passes through here, so that tests can answer them.
#include "MessageBox.h"

#include <utility>

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>

#include "QtText.h"
#include "dbUserInterface.h"

MessageBox::Handler MessageBox::handler_;

namespace {

// A key held down since before the box opened (Enter on a case) repeats into the box; only a
// fresh press may answer it, or holding Enter would approve without a question.
class RepeatedKeysIgnored : public QObject {
 public:
  explicit RepeatedKeysIgnored(const QWidget* box) : box_(box) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    return event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->isAutoRepeat() &&
           watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == box_;
  }

 private:
  const QWidget* box_;
};

}  // namespace

MessageAnswer MessageBox::Show(const std::string& text, const std::string& caption,
                               MessageButtons buttons) {
  // A window closed while a request waited ends the program: the failure of that request
  // is no news to the user, and nothing is asked any more.
  if (dbUserInterface::WaitsCancelled()) return MessageAnswer::Cancel;
  if (handler_) return handler_(text, caption, buttons);
  return ShowModal(text, caption, buttons);
}

void MessageBox::SetHandler(Handler handler) { handler_ = std::move(handler); }

MessageAnswer MessageBox::ShowModal(const std::string& text, const std::string& caption,
                                    MessageButtons buttons) {
  QMessageBox box(QApplication::activeWindow());
  box.setIcon(QMessageBox::NoIcon);
  box.setWindowModality(Qt::ApplicationModal);
  // Texts come from the servers (names, error texts): never read them as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQString(text));
  box.setWindowTitle(ToQString(caption));
  if (buttons == MessageButtons::OkCancel) {
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  for (QAbstractButton* button : box.buttons()) button->setIcon(QIcon());  // no icon at all
  RepeatedKeysIgnored repeats(&box);
  QApplication::instance()->installEventFilter(&repeats);
  return box.exec() == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}
