// Conversions between the program's 8-bit texts and Qt's strings.
#pragma once

#include <string>

#include <QByteArray>
#include <QString>

// The program's texts are in the user's 8-bit code page.
inline QString ToQString(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToStdString(const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
