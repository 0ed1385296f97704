// Measures and paints the case list's entries through the window's own handlers.
#pragma once

#include <QStyledItemDelegate>

class QListWidget;
class TForm1;

class CaseListDelegate : public QStyledItemDelegate {
  Q_OBJECT
 public:
  // The window must outlive the list box; the delegate is owned by `list`.
  CaseListDelegate(const TForm1* form, QListWidget* list);

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  static void DrawFocusRect(QPainter* painter, const QRect& rect);

  const TForm1* form_;
  QListWidget* list_;
};
