// hosp-client-update: installs the newer client build that the data server offers into a
// folder that only root may write (the client package's), run by a system service as root.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BuildSignature.h"
#include "FileDate.h"
#include "HospVersion.h"
#include "IniFile.h"
#include "InstalledBuild.h"
#include "TrustSettings.h"
#include "dbServerConnection.h"
#include "dbUserInterface.h"

namespace {

constexpr const char* kUsage =
    "Usage: hosp-client-update [FOLDER]\n"
    "       hosp-client-update --help | --version\n"
    "Installs the newer build of the client that the data server named in FOLDER/Hosp.ini\n"
    "offers as \"Clients\\Pellomarquin.exe\", in place of FOLDER/Pellomarquin.exe (the previous\n"
    "build kept as Pellomarquin.bak). FOLDER is this program's own folder unless given.\n"
    "Only a build signed with a key of \"PublicKey\" in section \"Update\" is installed,\n"
    "and only when \"Pellomarquin.exe --check\" of the new build succeeds (within\n"
    "\"Probation\" seconds, or 30); a build that fails it is replaced by the previous one\n"
    "again and, as a build of its date, never installed again.\n"
    "Exit status 0 when the newest build is in place; 1 with the reason otherwise.\n";

const char* const kRemote = "Clients\\Pellomarquin.exe";
const char* const kExeName = "Pellomarquin.exe";
// A service must end: without a Timeout key the server gets this long for each wait.
constexpr int kDefaultTimeout = 60;
// How long the new build may take to answer --check, unless "Probation" says otherwise.
constexpr int kCheckSeconds = 30;

void Say(const std::string& line) { std::cout << "hosp-client-update: " << line << std::endl; }

int Refuse(const std::string& reason) {
  std::cerr << "hosp-client-update: " << reason << std::endl;
  return 1;
}

void ShowMessage(const std::string& text, const std::string& caption) {
  Say(text + " (" + caption + ")");
}

std::string DateText(std::int32_t packed) {
  const std::time_t when = UnpackDosDate(static_cast<std::uint32_t>(packed));
  std::tm local{};
  char text[32] = "?";
  if (when != -1 && ::localtime_r(&when, &local) != nullptr) {
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  }
  return text;
}

std::string OwnFolder() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : exe.parent_path().string();
}

// Runs `program --check` and waits up to `seconds`: true when it exits with status 0.
bool PassesCheck(const std::string& program, int seconds) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::setpgid(0, 0);  // a group of its own, so that whatever it started ends with it
    ::execl(program.c_str(), program.c_str(), "--check", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

int Update(const std::string& folder) {
  const std::string ini_path = folder + "/Hosp.ini";
  IniFile ini;
  if (!ini.Load(ini_path)) return Refuse("cannot read " + ini_path);
  const TrustSettings trust = TrustSettings::Read(ini);
  if (trust.UpdatePublicKeys.empty()) {
    return Refuse("no key to verify builds with (\"PublicKey\" in section \"Update\" of " +
                  ini_path + "); no build is installed without one");
  }
  int timeout = dbServerConnection::TimeoutSetting(ini.Read("DataServer", "Timeout"));
  if (timeout < 0) timeout = kDefaultTimeout;
  dbUserInterface::ShowMessage = ShowMessage;
  const std::string host = ini.Read("DataServer", "IP");
  const std::string port = ini.Read("DataServer", "Port");
  dbServerConnection connection(host, port, "Pellomarquin", "", true, timeout,
                                trust.DataServerIdentity);
  if (!connection.IsConnected()) {
    return Refuse("cannot reach the data server " + host + ":" + port + ": " +
                  connection.FailureReason);
  }
  const std::int32_t offered = connection.GetFileInfo(kRemote);
  const std::int32_t offered_size = connection.FileSize;
  const InstalledBuild build(folder + "/", kExeName);
  const std::int32_t running = build.RunningDate();
  if (offered == 0 || offered <= running) {
    Say("the build in place (" + DateText(running) + ") is the newest");
    return 0;
  }
  if (build.FailedBefore(offered)) {
    Say("the build of " + DateText(offered) + " failed its check before; it is not installed " +
        "again, a newer one will be");
    return 0;
  }
  if (!connection.GetFile(kRemote, build.Download(), nullptr)) {
    build.DropDownload();
    return Refuse("the download of the build of " + DateText(offered) +
                  " failed: " + connection.FailureReason);
  }
  std::string reason;
  if (!connection.GetFile(std::string(kRemote) + ".sig", build.DownloadSignature(), nullptr,
                          static_cast<std::int32_t>(BuildSignature::kMaxFileSize))) {
    reason = "its signature could not be downloaded";
  } else {
    reason = build.CheckDownload(trust.UpdatePublicKeys, offered, offered_size, running);
  }
  if (!reason.empty()) {
    build.DropDownload();
    return Refuse("the build of " + DateText(offered) + " was not installed: " + reason);
  }
  if (!build.Swap()) {
    build.DropDownload();
    return Refuse("cannot put the new build in place in " + folder);
  }
  build.KeepStatement();
  if (!PassesCheck(build.Exe(),
                   trust.UpdateProbation > 0 ? trust.UpdateProbation : kCheckSeconds)) {
    build.Restore();
    build.RememberFailed(offered);
    return Refuse("the build of " + DateText(offered) +
                  " failed its check (--check); the previous build was restored");
  }
  Say("installed the build of " + DateText(offered) + "; the previous one is " + build.Previous());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    std::cout << "hosp-client-update " << HOSP_VERSION << '\n';
    return 0;
  }
  if (args.size() > 1 || (!args.empty() && args[0].rfind("-", 0) == 0)) {
    std::cerr << kUsage;
    return 2;
  }
  ::umask(022);  // whatever the service manager gave: the build must stay readable by all
  return Update(args.empty() ? OwnFolder() : args[0]);
}
