// The case list window: the physician's open cases, their drawing and their approval.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QStyle>
#include <QWidget>

#include "CaseListDelegate.h"
#include "CaseObjects.h"

class cJSON;
class QKeyEvent;
class QLabel;
class QListWidget;
class QPainter;
class QPushButton;
class QRect;

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

  // The physician's sequence, sent with every refresh.
  std::string DoctorSeq;
  // The listed cases, owned here; entry i belongs to list box item i.
  std::vector<std::unique_ptr<ListBoxObjectClass>> CaseObjects;

  QLabel* DoctorNameLabel;
  QPushButton* RefreshListButton;
  QLabel* Label1;
  QListWidget* CasesListBox;

 signals:
  // The window was closed.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void BuildCasesListBox();
  void AddCase(std::unique_ptr<ListBoxObjectClass> item);
  void RemoveCase(int index);
  int SelectedIndex() const;
  static ListBoxObjectClass* AttachedCase(const QListWidget* list, int index);
};
