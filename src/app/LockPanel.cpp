// The panel that stands in place of the case list while the window is locked.
#include "LockPanel.h"

#include <QLabel>
#include <QPushButton>

#include "AppFonts.h"
#include "LabeledEdit.h"
#include "QtText.h"

LockPanel::LockPanel(QWidget* parent) : QWidget(parent) {
  Message = new QLabel(this);
  Message->setTextFormat(Qt::PlainText);  // the name comes from the server
  Message->setFont(AppFont(13, true));
  Message->setWordWrap(true);
  Message->setGeometry(16, 16, 560, 36);

  PasswordEdit = new LabeledEdit(QStringLiteral("Password "), this);
  PasswordEdit->setGeometry(104, 64, 160, 21);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'

  UnlockButton = new QPushButton(QStringLiteral("Unlock"), this);
  UnlockButton->setGeometry(104, 100, 121, 25);
  SomeoneElseButton = new QPushButton(QStringLiteral("Log in as someone else"), this);
  SomeoneElseButton->setGeometry(233, 100, 160, 25);
  // Enter in the field does what "Unlock" does, as in the login window.
  connect(PasswordEdit, &QLineEdit::returnPressed, UnlockButton, &QPushButton::click);

  setTabOrder(PasswordEdit, UnlockButton);
  setTabOrder(UnlockButton, SomeoneElseButton);
  hide();
}

void LockPanel::ShowFor(const std::string& doctor) {
  Message->setText(ToQString("Locked: enter the password of " + doctor + " to continue"));
  PasswordEdit->setAccessibleDescription(Message->text());  // read with the focused field
  PasswordEdit->clear();
  show();
  raise();
  PasswordEdit->setFocus();
}
