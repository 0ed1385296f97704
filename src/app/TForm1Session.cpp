// The case list window at a shared workstation: the idle lock and the unlock, the list's own
// refresh, and the marks of cases that came with it (the opt-in keys of section "Client").
#include "TForm1.h"

#include <QAccessible>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include "IdleWatch.h"
#include "LabeledEdit.h"
#include "LockPanel.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "QtText.h"
#include "RequestInFlight.h"

namespace {

// How soon the list's own refresh tries again while a request or a box is open.
constexpr std::chrono::milliseconds kBusyRetry(1000);

}  // namespace

void TForm1::StartWatches() {
  if (Settings.LockAfter.count() > 0)
    idle_watch_->Start(Settings.LockAfter, [this] { LockScreen(); });
  if (Settings.RefreshEvery.count() > 0) refresh_timer_->start(Settings.RefreshEvery);
}

void TForm1::StopWatches() {
  idle_watch_->Stop();
  refresh_timer_->stop();
}

// The entries are released rather than hidden, so that no patient's name is left in the
// window's pixels or in what a screen reader can read; the unlock fetches them again.
void TForm1::LockScreen() {
  if (locked_ || !isVisible()) return;
  locked_ = true;
  StopWatches();
  MessageBox::CancelOpen();  // a question's caption names the patient
  locked_position_ = Position();
  ClearCaseList();
  ShowCaseControls(false);
  CaseLockPanel->ShowFor(ToStdString(DoctorNameLabel->text().trimmed()));
}

void TForm1::UnlockButtonClick() {
  if (!locked_ || RequestInFlight::Active()) return;  // one request at a time
  const std::string password = ToStdString(CaseLockPanel->PasswordEdit->text());
  CaseLockPanel->PasswordEdit->clear();
  if (!CheckPassword ||
      CheckPassword(DoctorEmail, password, DoctorSeq) != RequestOutcome::Succeeded) {
    CaseLockPanel->PasswordEdit->setFocus();  // "Invalid login" or the time-out has been said
    return;
  }
  locked_ = false;
  CaseLockPanel->hide();
  ShowCaseControls(true);
  if (!locked_position_.focused) RefreshListButton->setFocus();
  RefreshKeepingPosition(locked_position_);
  if (!locked_) StartWatches();
}

void TForm1::SomeoneElseButtonClick() {
  if (RequestInFlight::Active()) return;
  StopWatches();
  locked_ = false;
  CaseLockPanel->hide();
  ShowCaseControls(true);
  ClearCaseList();
  DoctorSeq.clear();
  DoctorEmail.clear();
  DoctorNameLabel->clear();
  listed_once_ = false;
  known_keys_.clear();
  unseen_keys_.clear();
  hide();
  emit SessionEnded();
}

void TForm1::TimedRefresh() {
  if (locked_ || !isVisible()) return;  // the unlock and the next login start it again
  if (RequestInFlight::Active() || MessageBox::IsOpen()) {
    refresh_timer_->start(kBusyRetry);
    return;
  }
  timed_refresh_ = true;
  RefreshKeepingPosition(Position());
  timed_refresh_ = false;
  if (!locked_ && isVisible()) refresh_timer_->start(Settings.RefreshEvery);
}

void TForm1::RefreshKeepingPosition(const ListPosition& position) {
  RefreshListButtonClick();
  Restore(position);
}

void TForm1::ShowCaseControls(bool shown) {
  RefreshListButton->setVisible(shown);
  Label1->setVisible(shown);
  CasesListBox->setVisible(shown);
}

TForm1::ListPosition TForm1::Position() const {
  ListPosition position;
  if (const QListWidgetItem* current = CasesListBox->currentItem()) {
    position.current_key = ToStdString(current->text());
    position.current_selected = current->isSelected();
  }
  position.scroll = CasesListBox->verticalScrollBar()->value();
  if (const QModelIndex top = CasesListBox->indexAt(QPoint(1, 1)); top.isValid()) {
    position.top_key = CaseObjects[static_cast<std::size_t>(top.row())]->CaseKey;
  }
  position.focused = CasesListBox->hasFocus();
  return position;
}

// At the top the list stays at the top, where new cases show; further down the entry that
// was at the top stays there, or, where it is gone, the scroll bar keeps its value.
void TForm1::Restore(const ListPosition& position) {
  if (const int current = RowOf(position.current_key); current >= 0) {
    CasesListBox->setCurrentRow(current, position.current_selected
                                             ? QItemSelectionModel::ClearAndSelect
                                             : QItemSelectionModel::NoUpdate);
  }
  CasesListBox->doItemsLayout();  // the scroll bar's range follows the new entries
  const int top = RowOf(position.top_key);
  if (position.scroll == 0 || top < 0) {
    CasesListBox->verticalScrollBar()->setValue(position.scroll);
  } else {
    CasesListBox->scrollToItem(CasesListBox->item(top), QAbstractItemView::PositionAtTop);
  }
  if (position.focused) CasesListBox->setFocus();
}

void TForm1::MarkNewCases() {
  if (!MarksNewCases()) return;
  std::set<std::string> listed;
  std::set<std::string> unseen;
  for (std::size_t i = 0; i < CaseObjects.size(); ++i) {
    const std::string& key = CaseObjects[i]->CaseKey;
    listed.insert(key);
    if (unseen_keys_.count(key) > 0 || (listed_once_ && known_keys_.count(key) == 0)) {
      unseen.insert(key);
      CasesListBox->item(static_cast<int>(i))->setData(kNewRole, true);
    }
  }
  known_keys_ = std::move(listed);
  unseen_keys_ = std::move(unseen);
  listed_once_ = true;
}

// An entry that has had the focus has been seen: its marker goes.
void TForm1::CaseSeen(QListWidgetItem* item) {
  if (item == nullptr || !item->data(kNewRole).toBool()) return;
  item->setData(kNewRole, false);
  unseen_keys_.erase(ToStdString(item->text()));
  if (QAccessible::isActive()) {
    QAccessibleEvent event(CasesListBox, QAccessible::NameChanged);
    event.setChild(CasesListBox->row(item));
    QAccessible::updateAccessibility(&event);
  }
}
