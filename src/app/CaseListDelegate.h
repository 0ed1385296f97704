// Measures and paints the case list's entries through the window's own handlers.
#pragma once

#include <string>

#include <QStyle>
#include <QStyledItemDelegate>

class QListWidget;
class QPainter;
class QRect;

// What the delegate asks of the window that owns the list: each entry's height and painting,
// so that measuring and painting follow the window's one set of rules.
class CaseListOwner {
 public:
  // The list box's base item height: the unit of an entry's height.
  static constexpr int kBaseItemHeight = 16;
  // The list box's object name, by which its accessibility is found.
  static constexpr const char* kCasesListBoxName = "CasesListBox";

  // Sets `Height` for the case at `Index`; leaves it alone when there is none.
  virtual void CasesListBoxMeasureItem(QListWidget* Control, int Index, int& Height) const = 0;
  // Paints the case of item `Index` into `Rect`.
  virtual void CasesListBoxDrawItem(QListWidget* Control, int Index, QPainter& Canvas,
                                    const QRect& Rect, QStyle::State State) const = 0;
  // What the entry at `Index` draws, in drawing order, as one text for a screen reader.
  virtual std::string CasesListBoxEntryText(int Index) const = 0;
  // The entry's accessible action: the same question and approval as a double-click.
  virtual void ApproveFromAction(const std::string& case_key) = 0;

 protected:
  ~CaseListOwner() = default;
};

class CaseListDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  // The window must outlive the list box; the delegate is owned by `list`.
  CaseListDelegate(const CaseListOwner* form, QListWidget* list);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  static void DrawFocusRect(QPainter* painter, const QRect& rect);

  const CaseListOwner* form_;
  QListWidget* list_;
};
