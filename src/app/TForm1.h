// The case list window: the physician's open cases, their drawing and their approval; at a
// shared workstation also the idle lock and the list's own refresh.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <QStringList>
#include <QStyle>
#include <QWidget>

#include "CaseListDelegate.h"
#include "CaseObjects.h"
#include "ClientSettings.h"
#include "RequestInFlight.h"

class cJSON;
class IdleWatch;
class LockPanel;
class QKeyEvent;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPainter;
class QPushButton;
class QRect;
class QTimer;

class TForm1 : public QWidget, public CaseListOwner {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Fetches the physician's cases from the function server and lists them in place of the
  // old ones. A server that does not answer in time is reported and leaves the list as it was.
  void RefreshListButtonClick();
  // Shows the answer's "Error" or "NoCases" text, or lists its "CaseList".
  void ShowCaseAnswer(cJSON& answer);
  // Releases every case and empties the list box.
  void ClearCaseList();
  // Tells the login window, which closes and so ends the program.
  void FormClose();

  void CasesListBoxMeasureItem(QListWidget* Control, int Index, int& Height) const override;
  // Selected or not, an entry looks the same.
  void CasesListBoxDrawItem(QListWidget* Control, int Index, QPainter& Canvas, const QRect& Rect,
                            QStyle::State State) const override;
  // "YYYYMMDD" becomes "MM/DD/YYYY"; a text with a "/" stays as it is.
  static std::string FormatCaseDate(const std::string& date);

  // A single click only selects.
  void CasesListBoxClick();
  // Asks, then approves the selected case on the data server and takes it off the list.
  void CasesListBoxDblClick();
  // Enter and the space bar on the focused case do what a double-click does; true when the
  // key was one of them. The other keys move through the list as a list box does.
  bool CasesListBoxKeyDown(QKeyEvent* key);

  // What entry `Index` draws, in drawing order, as one text: its name for a screen reader.
  std::string CasesListBoxEntryText(int Index) const override;
  // Whether entry `Index` carries the marker of a case new since the list before.
  bool IsNewCase(int Index) const;
  // The default action of a screen reader on the entry of `case_key`: asks, then approves,
  // as a double-click on that entry does.
  void ApproveFromAction(const std::string& case_key) override;

  // Starts the idle lock and the list's own refresh, as far as Settings ask for them; runs
  // after the login and after an unlock. StopWatches stops both.
  void StartWatches();
  void StopWatches();
  // Locks the window: open boxes are answered with Cancel, the entries are released and the
  // lock panel stands in their place. Nothing goes to the servers until an unlock.
  void LockScreen();
  bool Locked() const { return locked_; }
  // "Unlock": the password is checked as the login checks it; when it is right the list
  // comes back, refreshed, the focused case and the scroll position kept where they exist.
  void UnlockButtonClick();
  // "Log in as someone else": ends the session, the list discarded, and offers the login.
  void SomeoneElseButtonClick();
  // The list's own refresh (RefreshMinutes): as "Refresh List", but keeping the focused case
  // and the scroll position where they still exist; waits while a request or a box is open.
  void TimedRefresh();

  // The physician's sequence, sent with every refresh.
  std::string DoctorSeq;
  // The address the physician logged in with: an unlock asks for this physician's password.
  std::string DoctorEmail;
  // Section "Client" of "Hosp.ini", set at login: the idle lock and the list's own refresh.
  ClientSettings Settings;
  // The listed cases, owned here; entry i belongs to list box item i.
  std::vector<std::unique_ptr<ListBoxObjectClass>> CaseObjects;

  QLabel* DoctorNameLabel;
  QPushButton* RefreshListButton;
  QLabel* Label1;
  QListWidget* CasesListBox;
  // Stands in place of the list while the window is locked.
  LockPanel* CaseLockPanel;

  // The unlock's check of a password for the physician (e-mail, password, sequence), exactly
  // as the login checks it; filled in where the windows are built. Unset: no unlock.
  std::function<RequestOutcome(const std::string&, const std::string&, const std::string&)>
      CheckPassword;

 signals:
  // The window was closed.
  void Closed();
  // "Log in as someone else": the session is over and the login is wanted again.
  void SessionEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Where the physician is in the list, by case key, so that a new list can be put there.
  struct ListPosition {
    std::string current_key;
    bool current_selected = false;
    std::string top_key;  // the entry at the top of the view
    int scroll = 0;
    bool focused = false;
  };

  // Each listed case's entry height, in list order beside CaseObjects: the list's layout asks
  // every entry for its height, and reading it here touches one small array instead of each
  // case.
  std::vector<int> entry_heights_;

  void BuildControls();
  void BuildCasesListBox();
  void BuildLockPanel();
  void AddCase(std::unique_ptr<ListBoxObjectClass> item);
  // Lists the cases added from CaseObjects[first] on, whose keys `keys` holds.
  void ListAddedCases(int first, const QStringList& keys);
  // The height of an entry for a case with `needs` needs.
  static int EntryHeight(std::size_t needs);
  void RemoveCase(int index);
  int SelectedIndex() const;
  int RowOf(const std::string& case_key) const;
  static ListBoxObjectClass* AttachedCase(const QListWidget* list, int index);

  ListPosition Position() const;
  void Restore(const ListPosition& position);
  void RefreshKeepingPosition(const ListPosition& position);
  void ShowCaseControls(bool shown);
  void MarkNewCases();
  void CaseSeen(QListWidgetItem* item);
  bool MarksNewCases() const { return Settings.RefreshEvery.count() > 0; }

  // The item's data under this role is true while its case is marked as new.
  static constexpr int kNewRole = Qt::UserRole + 1;

  IdleWatch* idle_watch_;
  QTimer* refresh_timer_;
  bool locked_ = false;
  ListPosition locked_position_;  // where the physician was when the lock came
  bool timed_refresh_ = false;    // the running refresh is the list's own
  // While new cases are marked: the keys of the last list the server gave (none before the
  // first), and those of its cases that are marked still.
  bool listed_once_ = false;
  std::set<std::string> known_keys_;
  std::set<std::string> unseen_keys_;
};
