// The files of an installed client build in its folder: the program, the download beside it,
// the previous build, and the checks a download passes before it takes the program's place.
#include "InstalledBuild.h"

#include <cstdio>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "BuildSignature.h"
#include "FileDate.h"
#include "FileIO.h"

InstalledBuild::InstalledBuild(std::string folder, std::string exe_name)
    : folder_(std::move(folder)),
      exe_name_(std::move(exe_name)),
      base_(exe_name_.size() > 4 ? exe_name_.substr(0, exe_name_.size() - 4) : std::string()) {}

namespace {

// Whether `statement` names exactly the bytes of the file at `path`.
bool Names(const BuildStatement& statement, const std::string& path) {
  std::string bytes;
  return ReadWholeFile(path, bytes) && bytes.size() == statement.size &&
         BuildSignature::Sha256Hex(bytes) == statement.sha256;
}

}  // namespace

std::optional<std::int32_t> InstalledBuild::KeptDate() const {
  const auto kept = BuildSignature::ReadUnverified(KeptStatement());
  if (kept && Names(*kept, Exe())) return kept->date;
  return std::nullopt;
}

std::int32_t InstalledBuild::RunningDate() const {
  return KeptDate().value_or(GetFilePackedDate(Exe()));
}

std::string InstalledBuild::CheckDownload(const std::vector<std::string>& keys,
                                          std::int32_t announced_date, std::int32_t announced_size,
                                          std::int32_t running_date) const {
  const auto statement = BuildSignature::ReadStatement(keys, DownloadSignature());
  if (!statement) return "its signature is missing, of another form or not made with a key given";
  if (!Names(*statement, Download())) return "its signature names other bytes";
  if (statement->date != announced_date || announced_size < 0 ||
      statement->size != static_cast<std::uint64_t>(announced_size)) {
    return "the server announces another date or size than its signature";
  }
  if (statement->date <= running_date) return "it is not newer than the build in place";
  return {};
}

bool InstalledBuild::FailedBefore(std::int32_t date) const {
  std::string dates;
  ReadWholeFile(FailedDates(), dates);
  return ("\n" + dates).find("\n" + std::to_string(date) + "\n") != std::string::npos;
}

void InstalledBuild::RememberFailed(std::int32_t date) const {
  std::string dates;
  ReadWholeFile(FailedDates(), dates);
  FileWriteFailure ignored;  // unremembered, the build fails its probation again: no harm
  WriteFileAtomically(FailedDates(), dates + std::to_string(date) + "\n", FileMode{0644, true},
                      ignored);
}

void InstalledBuild::KeepStatement() const {
  if (std::rename(DownloadSignature().c_str(), KeptStatement().c_str()) != 0) {
    ::unlink(KeptStatement().c_str());
  }
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

bool InstalledBuild::Restore() const {
  if (std::rename(Previous().c_str(), Exe().c_str()) != 0) return false;
  ::unlink(KeptStatement().c_str());
  return true;
}
