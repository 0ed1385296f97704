// Reads the screen that Xvfb keeps in an XWD file (its -fbdir option) into a QImage.
#pragma once

#include <string>

#include <QImage>

// A null image when the file cannot be read or is not a 24- or 32-bit TrueColor dump.
QImage ReadXwd(const std::string& path);
