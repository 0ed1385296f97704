// A single-line edit with its label on its left, shown and hidden together with it.
#include "LabeledEdit.h"

#include <QLabel>

LabeledEdit::LabeledEdit(const QString& label_text, QWidget* parent, int spacing)
    : QLineEdit(parent), label_(new QLabel(label_text, parent)), spacing_(spacing) {
  label_->setTextFormat(Qt::PlainText);
  label_->setBuddy(this);
  // A screen reader names the field without the blank that spaces the label from it.
  setAccessibleName(label_text.trimmed());
  label_->setAccessibleName(label_text.trimmed());
  PlaceLabel();
}

void LabeledEdit::setVisible(bool visible) {
  QLineEdit::setVisible(visible);
  label_->setVisible(visible);
}

void LabeledEdit::moveEvent(QMoveEvent* event) {
  QLineEdit::moveEvent(event);
  PlaceLabel();
}

void LabeledEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  PlaceLabel();
}

// The label ends `spacing_` pixels before the edit and is centred on it vertically.
void LabeledEdit::PlaceLabel() {
  label_->adjustSize();
  const QSize size = label_->size();
  label_->move(x() - spacing_ - size.width(), y() + (height() - size.height()) / 2);
}
