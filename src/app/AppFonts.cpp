// The windows' font: "MS Sans Serif" at pixel sizes, with a close sans family standing in.
#include "AppFonts.h"

#include <QStringList>

void InstallFontSubstitutes() {
  // Liberation Sans keeps Arial's metrics, the nearest to the design's widths.
  QFont::insertSubstitutions(
      QString::fromLatin1(kWindowFontFamily),
      {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
}

QFont AppFont(int pixels, bool bold) {
  QFont font(QString::fromLatin1(kWindowFontFamily));
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setStyleHint(QFont::SansSerif);
  return font;
}
