// The files of an installed client build in its folder: the program, the download beside it,
// the previous build, and the checks a download passes before it takes the program's place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class InstalledBuild {
 public:
  // `folder` ends with a separator; `exe_name` is the program's file name ("Pellomarquin.exe").
  InstalledBuild(std::string folder, std::string exe_name);

  // The program, and its companions named after it without its four-character extension.
  std::string Exe() const { return folder_ + exe_name_; }
  std::string Download() const { return folder_ + base_ + ".tmp"; }
  std::string DownloadSignature() const { return folder_ + base_ + ".sig"; }
  std::string Previous() const { return folder_ + base_ + ".bak"; }
  // The signed statement of the build in place, kept beside it by the update that installed it.
  std::string KeptStatement() const { return folder_ + exe_name_ + ".sig"; }

  // The signed date of the build in place, packed as the server announces dates, from its
  // kept statement when that names exactly this build.
  std::optional<std::int32_t> KeptDate() const;
  // That date, else the program file's date; -1 when neither can be read.
  std::int32_t RunningDate() const;

  // Checks the download against its signed statement: signed by one of `keys`, naming exactly
  // the downloaded bytes, the date and size the server announced, and a date later than
  // `running_date`. Empty when it passes, else the reason.
  std::string CheckDownload(const std::vector<std::string>& keys, std::int32_t announced_date,
                            std::int32_t announced_size, std::int32_t running_date) const;
  // The builds that failed their probation: a build of such a date is not installed again.
  std::string FailedDates() const { return folder_ + base_ + ".failed"; }
  bool FailedBefore(std::int32_t date) const;
  void RememberFailed(std::int32_t date) const;

  // After a swap: the download's statement is kept beside the new build (none is kept for an
  // unsigned one).
  void KeepStatement() const;

  // Removes the download and its signature.
  void DropDownload() const;

  // Puts the download in the program's place by renames, the program kept as the previous
  // build (an older one deleted first); false, with everything as before, when a rename fails.
  bool Swap() const;
  // Puts the previous build back in the program's place; its own date is its file's.
  bool Restore() const;

 private:
  std::string folder_;
  std::string exe_name_;
  std::string base_;
};
