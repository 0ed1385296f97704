// Reads the screen that Xvfb keeps in an XWD file (its -fbdir option) into a QImage.
#include "XwdImage.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

// Header fields, each a 32-bit big-endian number, by position.
enum Field {
  kHeaderSize = 0,
  kVersion = 1,
  kPixmapWidth = 4,
  kPixmapHeight = 5,
  kByteOrder = 7,
  kBitsPerPixel = 11,
  kBytesPerLine = 12,
  kRedMask = 14,
  kGreenMask = 15,
  kBlueMask = 16,
  kColourCount = 19,
  kFieldCount = 25,
};
constexpr std::size_t kColourEntrySize = 12;

std::uint32_t BigEndian(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

int Shift(std::uint32_t mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

}  // namespace

QImage ReadXwd(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < kFieldCount * 4) return {};
  auto field = [&bytes](int index) {
    return BigEndian(&bytes[static_cast<std::size_t>(index) * 4]);
  };
  if (field(kVersion) != 7 || field(kBitsPerPixel) != 32) return {};
  const int width = static_cast<int>(field(kPixmapWidth));
  const int height = static_cast<int>(field(kPixmapHeight));
  const std::size_t stride = field(kBytesPerLine);
  const std::size_t start = field(kHeaderSize) + field(kColourCount) * kColourEntrySize;
  if (bytes.size() < start + stride * static_cast<std::size_t>(height)) return {};

  const bool lsb_first = field(kByteOrder) == 0;
  const std::uint32_t masks[3] = {field(kRedMask), field(kGreenMask), field(kBlueMask)};
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const unsigned char* p =
          &bytes[start + stride * static_cast<std::size_t>(y) + static_cast<std::size_t>(x) * 4];
      const std::uint32_t pixel = lsb_first
                                      ? (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                                         std::uint32_t{p[1]} << 8 | p[0])
                                      : BigEndian(p);
      image.setPixel(x, y,
                     qRgb(static_cast<int>((pixel & masks[0]) >> Shift(masks[0])),
                          static_cast<int>((pixel & masks[1]) >> Shift(masks[1])),
                          static_cast<int>((pixel & masks[2]) >> Shift(masks[2]))));
    }
  }
  return image;
}
