// The windows' font: "MS Sans Serif" at pixel sizes, with a close sans family standing in.
#pragma once

#include <QFont>

inline constexpr const char* kWindowFontFamily = "MS Sans Serif";

// Maps the windows' family to sans families that are installed where it is not.
void InstallFontSubstitutes();

// The windows' family at `pixels` pixels high, bold or regular.
QFont AppFont(int pixels, bool bold = false);
