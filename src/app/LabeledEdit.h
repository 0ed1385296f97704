// A single-line edit with its label on its left, shown and hidden together with it.
#pragma once

#include <QLineEdit>
#include <QString>

class QLabel;

class LabeledEdit : public QLineEdit {
  Q_OBJECT
 public:
  // The label is a sibling in `parent`, kept `spacing` pixels left of the edit.
  LabeledEdit(const QString& label_text, QWidget* parent, int spacing = 3);

  QLabel* EditLabel() const { return label_; }

  void setVisible(bool visible) override;

 protected:
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlaceLabel();

  QLabel* label_;
  int spacing_;
};
