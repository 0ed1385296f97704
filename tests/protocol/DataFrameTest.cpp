// Tests of the frame and download headers against their exact bytes, and of reading whole frames.
#include "DataFrame.h"

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace {

using namespace std::literals;

// The bytes are written out by hand: both ends use this code, so only these tests would
// notice a change of field order, width or byte order.
TEST(DataFrameTest, FrameHeaderBytesAreExact) {
  const struct {
    const char* name;
    FrameHeader header;
    std::string bytes;
  } rows[] = {
      {"handshake",
       {23, FrameType::Handshake, FrameSubtype::None},
       "\x17\0\0\0\x01\0\0\0\0\0\0\0"s},
      {"table query",
       {1, FrameType::Table, FrameSubtype::TableQuery},
       "\x01\0\0\0\x19\x79\0\0\x23\x4e\0\0"s},
      {"record update",
       {49989, FrameType::Table, FrameSubtype::RecordUpdate},
       "\x45\xc3\0\0\x19\x79\0\0\x24\x4e\0\0"s},
      {"file info",
       {25, FrameType::File, FrameSubtype::FileInfo},
       "\x19\0\0\0\x1a\x79\0\0\x67\0\0\0"s},
      {"negative length",
       {-5, FrameType::File, FrameSubtype::FileDownload},
       "\xfb\xff\xff\xff\x1a\x79\0\0\x65\0\0\0"s},
      {"largest length",
       {0x7FFFFFFF, FrameType::Date, -1},
       "\xff\xff\xff\x7f\x02\0\0\0\xff\xff\xff\xff"s},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(EncodeFrameHeader(row.header), row.bytes);
    const FrameHeader decoded = DecodeFrameHeader(row.bytes.data());
    EXPECT_EQ(decoded.length, row.header.length);
    EXPECT_EQ(decoded.type, row.header.type);
    EXPECT_EQ(decoded.subtype, row.header.subtype);
  }
}

// The size stays signed (a refusal sends 0) and a date with its top bit set keeps all 32 bits.
TEST(DataFrameTest, DownloadHeaderBytesAreExact) {
  const DownloadHeader header{120000, 0xF86F6DAF};
  const std::string bytes = "\xc0\xd4\x01\0\xaf\x6d\x6f\xf8"s;
  EXPECT_EQ(EncodeDownloadHeader(header), bytes);
  EXPECT_EQ(DecodeDownloadHeader(bytes.data()).size, 120000);
  EXPECT_EQ(DecodeDownloadHeader(bytes.data()).date, 0xF86F6DAFu);
  EXPECT_EQ(DecodeDownloadHeader("\xff\xff\xff\xff\0\0\0\0").size, -1);
}

// A whole frame is found only when its length is sane, all of it is there and it ends in NUL;
// bytes after it are left for the next one.
TEST(DataFrameTest, DecodeFrameTakesOnlyWholeWellFormedFrames) {
  const std::string query = EncodeFrame(FrameType::Table, FrameSubtype::TableQuery, "Key=1");
  const auto handshake = [](std::int32_t length) {
    return EncodeFrameHeader({length, FrameType::Handshake, FrameSubtype::None});
  };
  ASSERT_EQ(query, EncodeFrameHeader({6, FrameType::Table, FrameSubtype::TableQuery}) + "Key=1\0"s);
  const struct {
    const char* name;
    std::string bytes;
    std::size_t size;  // 0: no frame
    std::string text;
  } rows[] = {
      {"whole frame", query, 18, "Key=1"},
      {"next frame behind it", query + query, 18, "Key=1"},
      {"empty text", EncodeFrame(FrameType::Date, FrameSubtype::None, ""), 13, ""},
      {"NUL inside the text", EncodeFrame(FrameType::Handshake, FrameSubtype::None, "a\0b"sv), 16,
       "a\0b"s},
      {"length at the limit", handshake(16) + std::string(15, 'x') + '\0', 28, "xxxxxxxxxxxxxxx"},
      {"length over the limit", handshake(17) + std::string(16, 'x') + '\0', 0, ""},
      {"zero length", handshake(0) + "\0"s, 0, ""},
      {"negative length", handshake(-1) + "\0"s, 0, ""},
      {"last byte not NUL", handshake(3) + "abc", 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto frame = DecodeFrame(row.bytes, 16);
    ASSERT_EQ(frame.has_value(), row.size != 0);
    if (!frame) continue;
    EXPECT_EQ(frame->size, row.size);
    EXPECT_EQ(frame->text, row.text);
    EXPECT_EQ(frame->header.length, static_cast<std::int32_t>(row.size - kFrameHeaderSize));
  }
  // Cut anywhere before its end, a frame is not there yet.
  for (std::size_t cut = 0; cut < query.size(); ++cut) {
    EXPECT_FALSE(DecodeFrame(std::string_view(query).substr(0, cut), 16)) << cut;
  }
}

}  // namespace
