// Measures and paints the case list's entries through the window's own handlers.
#include "CaseListDelegate.h"

#include <QListWidget>
#include <QPainter>
#include <QPen>

CaseListDelegate::CaseListDelegate(const CaseListOwner* form, QListWidget* list)
    : QStyledItemDelegate(list), form_(form), list_(list) {}

void CaseListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  form_->CasesListBoxDrawItem(list_, index.row(), *painter, option.rect, option.state);
  if (option.state & QStyle::State_HasFocus) DrawFocusRect(painter, option.rect);
}

// The entry's width is the list's; its height is the window's rule.
QSize CaseListDelegate::sizeHint(const QStyleOptionViewItem& /*option*/,
                                 const QModelIndex& index) const {
  int height = CaseListOwner::kBaseItemHeight;
  form_->CasesListBoxMeasureItem(list_, index.row(), height);
  return {1, height};
}

// The only mark of the focused entry: a dotted rectangle around all of it.
void CaseListDelegate::DrawFocusRect(QPainter* painter, const QRect& rect) {
  painter->save();
  QPen pen(Qt::black);
  pen.setWidth(0);
  pen.setDashPattern({1.0, 1.0});
  painter->setPen(pen);
  painter->setBrush(Qt::NoBrush);
  painter->drawRect(rect.adjusted(0, 0, -1, -1));
  painter->restore();
}
