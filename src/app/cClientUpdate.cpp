// The client's self-update: installs a newer build offered by the data server and starts it.
#include "cClientUpdate.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QProgressBar>
#include <QWidget>

#include "BuildSignature.h"
#include "FileDate.h"
#include "HospApplication.h"
#include "InstalledBuild.h"
#include "MessageBox.h"
#include "ProgressBarAdapter.h"
#include "QtText.h"
#include "RequestInFlight.h"
#include "RetryOnEintr.h"
#include "SysUtils.h"
#include "UniqueFd.h"
#include "dbServerConnection.h"

namespace {

const char* const kRenameCaption = "Program rename error";
const char* const kFirstLine = "Unable to complete update.  You will need to manually\n";
const char* const kLastLine = "After that you can restart this program.";
const char* const kNotVerified = "The new version could not be verified and was not installed.";
const char* const kServiceProgram = "hosp-client-update";
const char* const kNotStarted =
    "The new version did not start and the previous version was restored.";
// The variable that names the descriptor on which a build on probation reports its start.
const char* const kStartedFdVariable = "HOSP_STARTED_FD";

// The text after the last path separator or drive colon.
std::string FileNamePart(const std::string& path) {
  const std::size_t cut = path.find_last_of("\\/:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

// The download is created with the default mode, which is not executable: it takes
// the permission bits of the build it replaces, so that it can be started.
void CopyPermissions(const std::string& from, const std::string& to) {
  struct stat info {};
  if (::stat(from.c_str(), &info) == 0) ::chmod(to.c_str(), info.st_mode & 0777);
}

// Whether newer builds in `folder` are installed by the update service rather than by the
// user's client: the service's program is installed there, or the folder is another user's
// (root's, under the package), which the client must never write.
bool LeftToTheService(const std::string& folder) {
  if (::access((folder + kServiceProgram).c_str(), F_OK) == 0) return true;
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && info.st_uid != ::geteuid();
}

// ExeName without its four-character extension (".exe").
std::string WithoutExtension(const std::string& exe_name) {
  return exe_name.size() > 4 ? exe_name.substr(0, exe_name.size() - 4) : std::string();
}

}  // namespace

cClientUpdate::cClientUpdate(dbServerConnection* connection, std::string remote_file,
                             std::string local_folder, QWidget* indicator,
                             QAbstractButton* update_button, QProgressBar* progress_bar)
    : Connection(connection),
      Indicator(indicator),
      UpdateButton(update_button),
      ProgressBar(progress_bar),
      LocalFolder(std::move(local_folder)),
      RemoteFile(std::move(remote_file)),
      LocalAge(GetFilePackedDate(ToStdString(QCoreApplication::applicationFilePath()))),
      UpdateNeeded(false) {
  std::int32_t server_date = 0;
  if (Connection != nullptr) {
    RequestInFlight busy;
    server_date = Connection->GetFileInfo(RemoteFile);
    OfferedSize = Connection->FileSize;
  }
  OfferedDate = server_date;
  // Both dates are packed local times, so they compare as whole numbers in date order.
  UpdateNeeded = server_date != 0 && LocalAge < server_date && !LeftToTheService(LocalFolder) &&
                 !InstalledBuild(LocalFolder, FileNamePart(RemoteFile)).FailedBefore(server_date);
  if (UpdateNeeded) ShowAvailable();
}

cClientUpdate::~cClientUpdate() {
  QObject::disconnect(UpdateClick);
  if (Indicator != nullptr) Indicator->hide();
  if (UpdateButton != nullptr) UpdateButton->hide();
  if (ProgressBar != nullptr) ProgressBar->hide();
}

void cClientUpdate::ShowAvailable() {
  if (Indicator != nullptr) Indicator->show();
  if (UpdateButton != nullptr) {
    UpdateButton->show();
    UpdateClick =
        QObject::connect(UpdateButton, &QAbstractButton::clicked, [this] { PerformUpdate(); });
  }
}

void cClientUpdate::PerformUpdate() {
  if (UpdateButton != nullptr) UpdateButton->hide();
  if (ProgressBar != nullptr) ProgressBar->show();
  if (Indicator != nullptr) Indicator->hide();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QCoreApplication::processEvents();

  ExeName = FileNamePart(RemoteFile);
  const std::string base = WithoutExtension(ExeName);
  // A window closed during the download ends the program as it would have without the
  // download: nothing is installed or started then.
  if (!Download(base) || dbUserInterface::WaitsCancelled()) {
    // Nothing was changed, so the login goes on; a busy cursor there would mislead.
    QApplication::restoreOverrideCursor();
    return;
  }
  if (!PublicKeyFiles.empty() && !VerifyDownload()) {
    ReportRenameError(kNotVerified);
    return;
  }
  if (!SwapBuilds(base)) return;
  InstalledBuild(LocalFolder, ExeName).KeepStatement();
  if (Probation <= 0) {
    Restart();
    return;
  }
  if (!StartsWithinProbation()) {
    RollBack();
    return;
  }
  // The new build runs and has shown its window: this one ends without starting another.
  if (ProgressBar != nullptr) ProgressBar->hide();
  HospApplication::Terminate();
}

bool cClientUpdate::Download(const std::string& base) {
  if (Connection == nullptr) return false;
  RequestInFlight busy;
  ProgressBarAdapter progress(ProgressBar);
  return Connection->GetFile(RemoteFile, LocalFolder + base + ".tmp",
                             ProgressBar != nullptr ? &progress : nullptr);
}

// Fetches the signed statement (Base.sig) and checks the download against it before anything
// is renamed. A download that fails the check goes with its statement, so the installation
// is left as it was; one that passes keeps its statement for the swap.
bool cClientUpdate::VerifyDownload() {
  const InstalledBuild build(LocalFolder, ExeName);
  const bool verified =
      Connection->GetFile(RemoteFile + ".sig", build.DownloadSignature(), nullptr,
                          static_cast<std::int32_t>(BuildSignature::kMaxFileSize)) &&
      build
          .CheckDownload(PublicKeyFiles, OfferedDate, OfferedSize,
                         build.KeptDate().value_or(LocalAge))
          .empty();
  if (!verified) build.DropDownload();
  return verified;
}

// The running build becomes Base.bak and the download takes its name; false (after
// telling the user which renames are left to do) when either rename fails.
bool cClientUpdate::SwapBuilds(const std::string& base) {
  const std::string exe_path = LocalFolder + ExeName;
  const std::string tmp_path = LocalFolder + base + ".tmp";
  const std::string bak_path = LocalFolder + base + ".bak";
  CopyPermissions(exe_path, tmp_path);

  ::unlink(bak_path.c_str());  // an earlier update's backup; failing to delete it is harmless
  if (std::rename(exe_path.c_str(), bak_path.c_str()) != 0) {
    ReportRenameError(kFirstLine + ("rename " + exe_path + " to " + bak_path + "\n") +
                      ("Then rename " + tmp_path + " to " + exe_path + "\n") + kLastLine);
    return false;
  }
  if (std::rename(tmp_path.c_str(), exe_path.c_str()) != 0) {
    ReportRenameError(kFirstLine + ("rename " + tmp_path + " to " + exe_path + "\n") + kLastLine);
    return false;
  }
  return true;
}

void cClientUpdate::ReportRenameError(const std::string& text) {
  QApplication::restoreOverrideCursor();
  MessageBox::Show(text, kRenameCaption);
}

// The new build runs on by itself: this program ends once the paint handler is back in
// the event loop and does not wait for it.
void cClientUpdate::Restart() {
  if (ProgressBar != nullptr) ProgressBar->hide();
  OpenWithShell(LocalFolder + ExeName, "");
  HospApplication::Terminate();
}

// Starts the new build with the write end of a pipe and waits, handling events, for its
// sign: a byte means its login window is up; the end of the pipe (it ended, or closed the
// descriptor) or the end of the probation means it failed, and it is ended with its group.
bool cClientUpdate::StartsWithinProbation() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  const UniqueFd reader(ends[0]);
  const pid_t child = [&] {
    const UniqueFd writer(ends[1]);
    return StartReporting(LocalFolder + ExeName, writer.Get(), kStartedFdVariable);
  }();
  if (child < 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(Probation);
  bool started = false;
  for (;;) {
    pollfd wait{reader.Get(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, 100);
    if (ready > 0) {
      char sign = 0;
      const ssize_t got = RetryOnEintr([&] { return ::read(reader.Get(), &sign, 1); });
      started = got == 1;
      break;
    }
    if (ready < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    QCoreApplication::processEvents();
  }
  if (started) return true;
  ::kill(-child, SIGKILL);
  ::kill(child, SIGKILL);
  RetryOnEintr([child] { return ::waitpid(child, nullptr, 0); });
  return false;
}

// The previous build goes back in place, the failed build's date is remembered, the user is
// told, and the previous build starts anew in place of this one.
void cClientUpdate::RollBack() {
  const InstalledBuild build(LocalFolder, ExeName);
  build.Restore();
  build.RememberFailed(OfferedDate);
  QApplication::restoreOverrideCursor();
  MessageBox::Show(kNotStarted, kRenameCaption);
  Restart();
}

void cClientUpdate::ReportStarted() {
  const char* text = std::getenv(kStartedFdVariable);
  if (text == nullptr) return;
  const int fd = std::atoi(text);
  ::unsetenv(kStartedFdVariable);
  if (fd < 3) return;
  RetryOnEintr([fd] { return ::write(fd, "1", 1); });
  ::close(fd);
}
