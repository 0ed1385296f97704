// Packed MS-DOS file dates in local time, and the last-write time of files in that form.
#include "FileDate.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr int kFirstYear = 1980;
constexpr int kLastYear = kFirstYear + 127;  // seven bits of year

struct DosFields {
  int year, month, day, hour, minute, second;
};

DosFields Split(std::uint32_t packed) {
  std::uint32_t date = packed >> 16;
  std::uint32_t time = packed & 0xFFFFu;
  return {static_cast<int>(date >> 9) + kFirstYear,
          static_cast<int>((date >> 5) & 0x0F),
          static_cast<int>(date & 0x1F),
          static_cast<int>(time >> 11),
          static_cast<int>((time >> 5) & 0x3F),
          static_cast<int>(time & 0x1F) * 2};
}

bool IsValid(const DosFields& f) {
  return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 &&
         f.minute <= 59 && f.second <= 59;
}

// Both times of a file set to one moment, as utimensat and futimens take them.
bool FileTimes(std::uint32_t packed, timespec (&times)[2]) {
  std::time_t when = UnpackDosDate(packed);
  if (when == static_cast<std::time_t>(-1)) return false;
  times[0] = {when, 0};
  times[1] = {when, 0};
  return true;
}

}  // namespace

std::uint32_t PackDosDate(std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return 0;
  int year = local.tm_year + 1900;
  if (year < kFirstYear || year > kLastYear) return 0;
  std::uint32_t date = static_cast<std::uint32_t>((year - kFirstYear) * 512 +
                                                  (local.tm_mon + 1) * 32 + local.tm_mday);
  std::uint32_t time =
      static_cast<std::uint32_t>(local.tm_hour * 2048 + local.tm_min * 32 + local.tm_sec / 2);
  return (date << 16) | time;
}

std::time_t UnpackDosDate(std::uint32_t packed) {
  DosFields f = Split(packed);
  if (!IsValid(f)) return static_cast<std::time_t>(-1);
  std::tm local{};
  local.tm_year = f.year - 1900;
  local.tm_mon = f.month - 1;
  local.tm_mday = f.day;
  local.tm_hour = f.hour;
  local.tm_min = f.minute;
  local.tm_sec = f.second;
  local.tm_isdst = -1;  // let the zone rules decide whether summer time applies
  std::time_t when = std::mktime(&local);
  // mktime rolls a day such as 31 February over into March; that is not a date.
  if (local.tm_mday != f.day || local.tm_mon != f.month - 1) return static_cast<std::time_t>(-1);
  return when;
}

std::int32_t GetFilePackedDate(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<std::int32_t>(PackDosDate(info.st_mtim.tv_sec));
}

bool SetFilePackedDate(const std::string& path, std::uint32_t packed) {
  timespec times[2];
  return FileTimes(packed, times) && utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool SetFilePackedDate(int fd, std::uint32_t packed) {
  timespec times[2];
  return FileTimes(packed, times) && futimens(fd, times) == 0;
}
