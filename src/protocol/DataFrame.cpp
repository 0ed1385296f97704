// The data server's wire protocol: encoding and decoding of frame and download headers.
#include "DataFrame.h"

namespace {

void PutLittleEndian(char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t GetLittleEndian(const char* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
  return value;
}

}  // namespace

void EncodeFrameHeader(const FrameHeader& header, char* at) {
  PutLittleEndian(at, static_cast<std::uint32_t>(header.length));
  PutLittleEndian(at + 4, static_cast<std::uint32_t>(header.type));
  PutLittleEndian(at + 8, static_cast<std::uint32_t>(header.subtype));
}

std::string EncodeFrameHeader(const FrameHeader& header) {
  std::string bytes(kFrameHeaderSize, '\0');
  EncodeFrameHeader(header, bytes.data());
  return bytes;
}

FrameHeader DecodeFrameHeader(const char* at) {
  return {static_cast<std::int32_t>(GetLittleEndian(at)),
          static_cast<std::int32_t>(GetLittleEndian(at + 4)),
          static_cast<std::int32_t>(GetLittleEndian(at + 8))};
}

std::string EncodeFrame(std::int32_t type, std::int32_t subtype, std::string_view text) {
  const auto length = static_cast<std::int32_t>(text.size() + 1);
  std::string frame = EncodeFrameHeader({length, type, subtype});
  frame += text;
  frame += '\0';
  return frame;
}

std::optional<DecodedFrame> DecodeFrame(std::string_view bytes, std::int32_t max_length) {
  if (bytes.size() < kFrameHeaderSize) return std::nullopt;
  const FrameHeader header = DecodeFrameHeader(bytes.data());
  if (header.length < 1 || header.length > max_length) return std::nullopt;
  const auto length = static_cast<std::size_t>(header.length);
  if (bytes.size() - kFrameHeaderSize < length) return std::nullopt;
  if (bytes[kFrameHeaderSize + length - 1] != '\0') return std::nullopt;
  return DecodedFrame{header, bytes.substr(kFrameHeaderSize, length - 1),
                      kFrameHeaderSize + length};
}

void EncodeDownloadHeader(const DownloadHeader& header, char* at) {
  PutLittleEndian(at, static_cast<std::uint32_t>(header.size));
  PutLittleEndian(at + 4, header.date);
}

std::string EncodeDownloadHeader(const DownloadHeader& header) {
  std::string bytes(kDownloadHeaderSize, '\0');
  EncodeDownloadHeader(header, bytes.data());
  return bytes;
}

DownloadHeader DecodeDownloadHeader(const char* at) {
  return {static_cast<std::int32_t>(GetLittleEndian(at)), GetLittleEndian(at + 4)};
}
