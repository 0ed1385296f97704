// Bytes as lower-case hexadecimal text: digests, keys and tokens as they are stored and shown.
#pragma once

#include <string>
#include <string_view>

inline std::string HexText(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}
