// The real message box: modal, text and caption as given, no icon, plain text, the buttons.
#include "MessageBox.h"

#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

struct SeenBox {
  bool found = false;
  QMessageBox::Icon icon = QMessageBox::Information;
  Qt::TextFormat format = Qt::AutoText;
  QString text;
  QString caption;
  QMessageBox::StandardButtons buttons;
  bool modal = false;
  bool button_icons = false;
};

// Looks at the open box as soon as it runs, then presses `press` in it.
SeenBox ShowAndPress(const std::string& text, const std::string& caption, MessageButtons buttons,
                     QMessageBox::StandardButton press, MessageAnswer& answer) {
  SeenBox seen;
  QTimer::singleShot(0, [&seen, press] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    seen = {true,          box->icon(),        box->textFormat(),
            box->text(),   box->windowTitle(), box->standardButtons(),
            box->isModal()};
    for (QAbstractButton* button : box->buttons()) seen.button_icons |= !button->icon().isNull();
    box->button(press)->click();
  });
  // A box that nobody answers must not hang the test.
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  watchdog.start(5000);
  answer = MessageBox::ShowModal(text, caption, buttons);
  return seen;
}

// A report shows its text and caption, no icon and one OK button.
TEST(MessageBoxTest, ReportHasTextCaptionAndOkOnly) {
  MessageAnswer answer = MessageAnswer::Cancel;
  const SeenBox seen =
      ShowAndPress("Invalid login", "Error", MessageButtons::Ok, QMessageBox::Ok, answer);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.text, QStringLiteral("Invalid login"));
  EXPECT_EQ(seen.caption, QStringLiteral("Error"));
  EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_TRUE(seen.modal);
  EXPECT_FALSE(seen.button_icons);
  EXPECT_EQ(answer, MessageAnswer::Ok);
}

// The question has OK and Cancel, and gives back the button pressed.
TEST(MessageBoxTest, QuestionReturnsTheButtonPressed) {
  for (auto [press, expected] : {std::pair{QMessageBox::Ok, MessageAnswer::Ok},
                                 std::pair{QMessageBox::Cancel, MessageAnswer::Cancel}}) {
    MessageAnswer answer = MessageAnswer::Ok;
    const SeenBox seen = ShowAndPress("Approve this discharge?", "Anna Weber",
                                      MessageButtons::OkCancel, press, answer);
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(seen.caption, QStringLiteral("Anna Weber"));
    EXPECT_EQ(answer, expected);
  }
}

// A server's text that looks like markup is shown as it is.
TEST(MessageBoxTest, TextIsNeverMarkup) {
  MessageAnswer answer = MessageAnswer::Cancel;
  const SeenBox seen =
      ShowAndPress("<b>No</b> cases", "No Cases", MessageButtons::Ok, QMessageBox::Ok, answer);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.format, Qt::PlainText);
  EXPECT_EQ(seen.text, QStringLiteral("<b>No</b> cases"));
}

// Tests answer through the seam; an empty handler brings the real box back.
TEST(MessageBoxTest, HandlerAnswersInsteadOfTheBox) {
  std::string seen;
  MessageBox::SetHandler(
      [&seen](const std::string& text, const std::string& caption, MessageButtons) {
        seen = caption + ":" + text;
        return MessageAnswer::Cancel;
      });
  EXPECT_EQ(MessageBox::Show("Approve this discharge?", "A B", MessageButtons::OkCancel),
            MessageAnswer::Cancel);
  EXPECT_EQ(seen, "A B:Approve this discharge?");
  MessageBox::SetHandler(nullptr);
  MessageAnswer answer = MessageAnswer::Cancel;
  EXPECT_TRUE(ShowAndPress("x", "y", MessageButtons::Ok, QMessageBox::Ok, answer).found);
}

}  // namespace

// Enter held down from before the question (as on a case in the list) repeats into the box
// and must not answer it; a fresh press does.
TEST(MessageBoxTest, HeldKeyDoesNotAnswerTheQuestion) {
  int repeats_sent = 0;
  QTimer::singleShot(0, [&repeats_sent] {
    QWidget* box = QApplication::activeModalWidget();
    if (box == nullptr) return;
    QWidget* target = box->focusWidget() != nullptr ? box->focusWidget() : box;
    for (int i = 0; i < 3; ++i, ++repeats_sent) {
      QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
      QApplication::sendEvent(target, &repeat);
    }
    QTimer::singleShot(50, [] {
      if (auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        open->button(QMessageBox::Cancel)->click();
      }
    });
  });
  const MessageAnswer answer =
      MessageBox::ShowModal("Approve this discharge?", "Anna Weber", MessageButtons::OkCancel);
  EXPECT_EQ(repeats_sent, 3);
  EXPECT_EQ(answer, MessageAnswer::Cancel);
}
