// The data server's wire protocol: message types, the 12-byte frame header, whole frames and
// the header in front of a downloaded file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A request is a frame: three 32-bit little-endian numbers (the length of the text with its
// NUL, the type, the subtype), then the text and its NUL. Answers are bare NUL-terminated
// texts. Types and subtypes stay plain numbers: a header may carry any, and the server answers
// the ones it does not know.

// Message types of a frame.
namespace FrameType {
inline constexpr std::int32_t Handshake = 1;  // subtype None
inline constexpr std::int32_t Date = 2;       // subtype None
inline constexpr std::int32_t Table = 31001;  // subtypes TableQuery, RecordUpdate
inline constexpr std::int32_t File = 31002;   // subtypes FileDownload, FileInfo
}  // namespace FrameType

// Message subtypes, each meant for the type named beside it.
namespace FrameSubtype {
inline constexpr std::int32_t None = 0;              // Handshake, Date
inline constexpr std::int32_t TableQuery = 20003;    // Table: one record or a list
inline constexpr std::int32_t RecordUpdate = 20004;  // Table: fields of one record
inline constexpr std::int32_t FileDownload = 101;    // File: download header, bytes, answer
inline constexpr std::int32_t FileInfo = 103;        // File: size and date only
}  // namespace FrameSubtype

// Bytes of a frame header.
inline constexpr std::size_t kFrameHeaderSize = 12;

// The numbers of a frame header; `length` counts the text and its NUL.
struct FrameHeader {
  std::int32_t length = 0;
  std::int32_t type = 0;
  std::int32_t subtype = 0;
};

// Writes the header's 12 bytes at `at`.
void EncodeFrameHeader(const FrameHeader& header, char* at);
// The header's 12 bytes.
std::string EncodeFrameHeader(const FrameHeader& header);
// The header in the 12 bytes at `at`.
FrameHeader DecodeFrameHeader(const char* at);

// A whole frame: the header, `text` and its NUL.
std::string EncodeFrame(std::int32_t type, std::int32_t subtype, std::string_view text);

// A whole frame found at the start of a buffer.
struct DecodedFrame {
  FrameHeader header;
  std::string_view text;  // without its closing NUL
  std::size_t size = 0;   // header, text and NUL
};
// The frame at the start of `bytes`; nothing when its length is below 1 or above
// `max_length`, when `bytes` end inside it, or when its last byte is not a NUL.
std::optional<DecodedFrame> DecodeFrame(std::string_view bytes, std::int32_t max_length);

// Bytes in front of a downloaded file: its size and its packed date.
inline constexpr std::size_t kDownloadHeaderSize = 8;

// The numbers in front of a downloaded file, little-endian like a frame's.
struct DownloadHeader {
  std::int32_t size = 0;   // 0 or less: no file follows, only the closing answer
  std::uint32_t date = 0;  // packed file date (FileDate.h)
};

// Writes the download header's 8 bytes at `at`.
void EncodeDownloadHeader(const DownloadHeader& header, char* at);
// The download header's 8 bytes.
std::string EncodeDownloadHeader(const DownloadHeader& header);
// The download header in the 8 bytes at `at`.
DownloadHeader DecodeDownloadHeader(const char* at);
