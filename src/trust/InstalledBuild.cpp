// The files of an installed client build in its folder: the program, the download beside it,
// the previous build, and the checks a download passes before it takes the program's place.
#include "InstalledBuild.h"

#include <cstdio>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "BuildSignature.h"
#include "FileDate.h"

InstalledBuild::InstalledBuild(std::string folder, std::string exe_name)
    : folder_(std::move(folder)),
      exe_name_(std::move(exe_name)),
      base_(exe_name_.size() > 4 ? exe_name_.substr(0, exe_name_.size() - 4) : std::string()) {}

std::int32_t InstalledBuild::RunningDate() const { return GetFilePackedDate(Exe()); }

std::string InstalledBuild::CheckDownload(const std::vector<std::string>& keys) const {
  for (const std::string& key : keys) {
    if (BuildSignature::VerifyFile(key, Download(), DownloadSignature())) return {};
  }
  return "its signature is missing or not valid";
}

void InstalledBuild::DropDownload() const {
  ::unlink(Download().c_str());
  ::unlink(DownloadSignature().c_str());
}

bool InstalledBuild::Swap() const {
  // The download is not executable yet: it takes the program's permission bits.
  struct stat info {};
  if (::stat(Exe().c_str(), &info) == 0) ::chmod(Download().c_str(), info.st_mode & 0777);
  ::unlink(Previous().c_str());
  if (std::rename(Exe().c_str(), Previous().c_str()) != 0) return false;
  if (std::rename(Download().c_str(), Exe().c_str()) == 0) return true;
  std::rename(Previous().c_str(), Exe().c_str());
  return false;
}

bool InstalledBuild::Restore() const { return std::rename(Previous().c_str(), Exe().c_str()) == 0; }
