// Tests of packed MS-DOS dates and of reading and setting a file's last-write time with them.
#include "FileDate.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestFiles.h"

namespace {

constexpr std::uint32_t kMarch15 = 0x586F6DAF;  // 2024-03-15 13:45:30
constexpr std::time_t kMarch15Utc = 1710510330;

std::string MakeFile(const char* name) {
  std::string path = (std::filesystem::temp_directory_path() /
                      (std::string(name) + "-" + std::to_string(getpid())))
                         .string();
  std::ofstream(path) << "x";
  return path;
}

std::time_t MTime(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mtim.tv_sec;
}

}  // namespace

// Packing splits the local time into the date and time halves; odd seconds round down.
TEST(FileDateTest, PacksLocalTime) {
  const ScopedEnvironment zone("TZ", "UTC0");
  EXPECT_EQ(PackDosDate(kMarch15Utc), kMarch15);
  EXPECT_EQ(PackDosDate(kMarch15Utc + 1), kMarch15);
  EXPECT_EQ(PackDosDate(315532800), 0x00210000u);   // 1980-01-01 00:00:00
  EXPECT_EQ(PackDosDate(4354819198), 0xFF9FBF7Du);  // 2107-12-31 23:59:58
}

// Times the 32 bits cannot hold give 0 instead of a wrapped year.
TEST(FileDateTest, OutOfRangeYearsPackAsZero) {
  const ScopedEnvironment zone("TZ", "UTC0");
  EXPECT_EQ(PackDosDate(315532799), 0u);
  EXPECT_EQ(PackDosDate(4354819200), 0u);
}

// The packed value follows the local zone, summer time included.
TEST(FileDateTest, FollowsLocalZone) {
  const ScopedEnvironment zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(PackDosDate(kMarch15Utc), 0x586F75AFu);  // 14:45:30 in winter time
  EXPECT_EQ(PackDosDate(1719835200), 0x58E17000u);   // 2024-07-01 14:00:00 in summer time
  EXPECT_EQ(UnpackDosDate(0x58E17000u), 1719835200);
}

// Unpacking gives the moment back; fields that are no date give -1.
TEST(FileDateTest, UnpacksOrRejects) {
  const ScopedEnvironment zone("TZ", "UTC0");
  EXPECT_EQ(UnpackDosDate(kMarch15), kMarch15Utc);
  const std::uint32_t invalid[] = {
      0,                                       // month 0, day 0
      (44u << 25) | (13u << 21) | (1u << 16),  // month 13
      (44u << 25) | (2u << 21) | (31u << 16),  // 31 February
      (kMarch15 & 0xFFFF0000u) | (24u << 11),  // hour 24
      (kMarch15 & 0xFFFFFFE0u) | 30u,          // 60 seconds
  };
  for (std::uint32_t packed : invalid) {
    EXPECT_EQ(UnpackDosDate(packed), -1) << std::hex << packed;
  }
}

// A file's time set from a packed date reads back as the same packed date, by path and by
// descriptor.
TEST(FileDateTest, SetsAndReadsFileTime) {
  std::string path = MakeFile("filedate");
  ASSERT_TRUE(SetFilePackedDate(path, kMarch15));
  EXPECT_EQ(GetFilePackedDate(path), static_cast<std::int32_t>(kMarch15));
  EXPECT_EQ(MTime(path), UnpackDosDate(kMarch15));

  int fd = open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(SetFilePackedDate(fd, 0x58E17000u));
  close(fd);
  EXPECT_EQ(GetFilePackedDate(path), 0x58E17000);
  EXPECT_FALSE(SetFilePackedDate(path, 0));
  std::filesystem::remove(path);
}

// A missing file has no date and cannot be given one.
TEST(FileDateTest, MissingFileFails) {
  EXPECT_EQ(GetFilePackedDate("/nonexistent/hosp/file"), -1);
  EXPECT_FALSE(SetFilePackedDate("/nonexistent/hosp/file", kMarch15));
  EXPECT_FALSE(SetFilePackedDate(-1, kMarch15));
}
