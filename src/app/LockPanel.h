// The panel that stands in place of the case list while the window is locked: whose
// password unlocks it, the password field, "Unlock" and "Log in as someone else".
#pragma once

#include <string>

#include <QWidget>

class LabeledEdit;
class QLabel;
class QPushButton;

class LockPanel : public QWidget {
  Q_OBJECT
 public:
  explicit LockPanel(QWidget* parent);

  // Shows the panel for the physician named `doctor`, the password field empty and focused.
  void ShowFor(const std::string& doctor);

  QLabel* Message;
  LabeledEdit* PasswordEdit;
  QPushButton* UnlockButton;
  QPushButton* SomeoneElseButton;
};
