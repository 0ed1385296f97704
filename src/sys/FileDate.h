// Packed MS-DOS file dates in local time, and the last-write time of files in that form.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// High 16 bits: (year - 1980) * 512 + month * 32 + day; low 16 bits:
// hours * 2048 + minutes * 32 + seconds / 2. Local time. Odd seconds round down;
// a time outside 1980-2107 cannot be packed and gives 0.
std::uint32_t PackDosDate(std::time_t when);
// The moment a packed date names in local time; -1 when its fields are not a date.
std::time_t UnpackDosDate(std::uint32_t packed);

// Last-write time of the file as a packed date; -1 when it cannot be read.
std::int32_t GetFilePackedDate(const std::string& path);

// Sets the file's last-write (and access) time from a packed date; false when the
// date is not valid or the file's time cannot be set.
bool SetFilePackedDate(const std::string& path, std::uint32_t packed);
bool SetFilePackedDate(int fd, std::uint32_t packed);
