// Every report and question to the user passes through here, so that tests can answer them.
#include "MessageBox.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>

#include "QtText.h"
#include "dbUserInterface.h"

MessageBox::Handler MessageBox::handler_;
int MessageBox::open_ = 0;
unsigned MessageBox::cancels_ = 0;

namespace {

std::vector<QMessageBox*> open_boxes;  // the real boxes open now, innermost last

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
  const unsigned cancels = cancels_;
  ++open_;
  const MessageAnswer answer =
      handler_ ? handler_(text, caption, buttons) : ShowModal(text, caption, buttons);
  --open_;
  return cancels_ == cancels ? answer : MessageAnswer::Cancel;
}

void MessageBox::CancelOpen() {
  ++cancels_;
  for (QMessageBox* box : open_boxes) box->reject();
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
  open_boxes.push_back(&box);
  const int result = box.exec();
  open_boxes.erase(std::find(open_boxes.begin(), open_boxes.end(), &box));
  return result == QMessageBox::Ok ? MessageAnswer::Ok : MessageAnswer::Cancel;
}
