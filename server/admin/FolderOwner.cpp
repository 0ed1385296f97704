// Lets root run an administrator's command as the user who owns the data folder.
#include "admin/FolderOwner.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

void BecomeFolderOwner(const std::filesystem::path& folder) {
  if (::geteuid() != 0) return;
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || info.st_uid == 0) return;
  // Group first: once the user id is given up, the group can no longer be changed.
  if (::setgroups(0, nullptr) != 0 || ::setgid(info.st_gid) != 0 || ::setuid(info.st_uid) != 0) {
    const int error = errno;
    throw std::runtime_error("cannot switch to the owner of " + folder.string() + ": " +
                             std::strerror(error));
  }
}
