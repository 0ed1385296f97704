// The case list window: the physician's open cases, their drawing and their approval.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QStyle>
#include <QWidget>

#include "CaseObjects.h"

class cJSON;
class QKeyEvent;
class QLabel;
class QListWidget;
class QPainter;
class QPushButton;
class QRect;

class TForm1 : public QWidget {
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
  // Closes the login window, which ends the program.
  void FormClose();

  // Sets `Height` for the case at `Index`; leaves it alone when there is none.
  void CasesListBoxMeasureItem(QListWidget* Control, int Index, int& Height) const;
  // Paints the case of item `Index` into `Rect`; selected or not, it looks the same.
  void CasesListBoxDrawItem(QListWidget* Control, int Index, QPainter& Canvas, const QRect& Rect,
                            QStyle::State State) const;
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

  // The list box's base item height: the unit of an entry's height.
  static constexpr int kBaseItemHeight = 16;

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
