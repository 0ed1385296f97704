// Whole-file reads, and file writes that no reader ever sees half done.
#include "FileIO.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RetryOnEintr.h"
#include "UniqueFd.h"

namespace {

constexpr long long kMaxFileSize = 0x7FFFFFFFLL;

bool Fail(FileWriteFailure& failure, FileWriteFailure::Step step, const std::string& path,
          int error, std::string text) {
  failure = {step, path, error, std::move(text)};
  return false;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself is made durable too.
void SyncFolder(const std::string& folder) {
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.Valid()) ::fsync(fd.Get());
}

std::string TemporaryName(const std::string& path) {
  std::random_device random;
  return path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(random() % 1000000);
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = RetryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  bytes.clear();
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  struct stat info {};
  bool ok = ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size < kMaxFileSize;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n =
          RetryOnEintr([&] { return ::read(fd.Get(), bytes.data() + done, bytes.size() - done); });
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
    // A file that grew meanwhile is not the one that was measured.
    char extra;
    ok = ok && ::read(fd.Get(), &extra, 1) == 0;
  }
  if (!ok) bytes.clear();
  return ok;
}

bool WriteNewFile(const std::string& path, std::string_view bytes, FileMode mode,
                  FileWriteFailure& failure) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode.bits));
  if (!fd.Valid()) {
    const int error = errno;
    return Fail(failure, FileWriteFailure::Step::Create, path, error,
                "cannot create " + path + ": " + std::strerror(error));
  }
  bool written = (!mode.exact || ::fchmod(fd.Get(), mode.bits) == 0) && WriteAll(fd.Get(), bytes) &&
                 ::fsync(fd.Get()) == 0;
  int error = written ? 0 : errno;
  // close() reports what some file systems only find out then; it is not retried.
  if (::close(fd.Release()) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(path.c_str());
    return Fail(failure, FileWriteFailure::Step::Write, path, error, "cannot write " + path);
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, FileMode mode,
                         FileWriteFailure& failure) {
  const std::string temporary = TemporaryName(path);
  if (!WriteNewFile(temporary, bytes, mode, failure)) return false;
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return Fail(failure, FileWriteFailure::Step::Rename, temporary, error,
                "cannot rename " + temporary + " to " + path + ": " + std::strerror(error));
  }
  SyncFolder(FolderOf(path));
  return true;
}
