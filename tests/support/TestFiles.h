// Files, folders, environment variables and programs as the tests handle them.
#pragma once

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A whole file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);
// Replaces the file's content with `bytes`.
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

// Makes a new folder "PREFIX-XXXXXX" under $TMPDIR (or /tmp); throws std::runtime_error
// when it cannot.
std::filesystem::path MakeTempFolder(const std::string& prefix);

// A MakeTempFolder folder, removed with everything in it when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "hosp-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path of `name` inside the folder.
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The moment a local date and time names, summer time as the zone has it then.
std::time_t LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// The moment a date and time name in UTC.
std::time_t UtcTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
// Sets a file's access and modification times to `when`; false when it cannot.
bool SetModificationTime(const std::filesystem::path& path, std::time_t when);

// Sets an environment variable (or removes it, for no value) while it lives, and puts back
// what was there before. "TZ" takes effect at once, in both directions.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

struct CommandOutcome {
  int status = -1;  // exit status, -1 when it did not end normally within its limit
  std::string out;
  std::string err;
};

// Runs `program` (looked up on the PATH when it names no folder) with `arguments`, `input`
// as its standard input and no terminal (a new session), and collects both outputs. A
// program still running after `limit` is killed.
CommandOutcome RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& input = "",
                          std::chrono::seconds limit = std::chrono::seconds(60));
