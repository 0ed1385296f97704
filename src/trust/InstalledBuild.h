// The files of an installed client build in its folder: the program, the download beside it,
// the previous build, and the checks a download passes before it takes the program's place.
#pragma once

#include <cstdint>
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

  // The date of the build in place, packed as the server announces dates; -1 when unknown.
  std::int32_t RunningDate() const;

  // Checks the download against its signature with the keys (any one may have signed it);
  // empty when it passes, else the reason.
  std::string CheckDownload(const std::vector<std::string>& keys) const;

  // Removes the download and its signature.
  void DropDownload() const;

  // Puts the download in the program's place by renames, the program kept as the previous
  // build (an older one deleted first); false, with everything as before, when a rename fails.
  bool Swap() const;
  // Puts the previous build back in the program's place.
  bool Restore() const;

 private:
  std::string folder_;
  std::string exe_name_;
  std::string base_;
};
