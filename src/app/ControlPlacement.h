// Puts a label at its design bounds without cutting its text short.
#pragma once

#include <QLabel>
#include <QRect>

// The stand-in font may be wider than the design's: a label then grows to the right.
inline void PlaceLabel(QLabel* label, const QRect& bounds) {
  label->setGeometry(bounds);
  const int needed = label->sizeHint().width();
  if (needed > bounds.width()) label->resize(needed, bounds.height());
}
