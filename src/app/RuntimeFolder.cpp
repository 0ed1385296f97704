// The per-user runtime folder the toolkit asks for, provided where the session gave none.
#include "RuntimeFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <QDir>

namespace {

// The toolkit's own fallback name: its temporary folder, "runtime-" and the user's name.
std::string FallbackFolder() {
  const uid_t uid = ::geteuid();
  const passwd* user = ::getpwuid(uid);
  const std::string name = user != nullptr ? user->pw_name : std::to_string(uid);
  return QDir::tempPath().toStdString() + "/runtime-" + name;
}

// A real folder (no link), ours, that nobody else may enter.
bool OursAlone(const std::string& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
         info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
}

}  // namespace

void ProvideRuntimeFolder() {
  const char* set = std::getenv("XDG_RUNTIME_DIR");
  if (set != nullptr && *set != '\0') return;
  const std::string folder = FallbackFolder();
  // mkdir applies the umask, which can only take bits away; OursAlone checks what is left.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return;
  if (OursAlone(folder)) ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
}
