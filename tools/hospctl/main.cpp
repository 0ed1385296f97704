// hospctl: an administrator's check of the data and function servers named in a Hosp.ini.
#include <cstddef>
#include <exception>
#include <iostream>
#include <string>

#include "HospVersion.h"
#include "HospctlCommands.h"
#include "IniFile.h"
#include "dbServerConnection.h"
#include "dbUserInterface.h"

namespace {

constexpr const char* kUsage =
    "Usage: hospctl [--timeout SECONDS] HOSP.INI COMMAND [ARGUMENTS]\n"
    "       hospctl keygen PRIVATE.pem PUBLIC.pem\n"
    "       hospctl sign PRIVATE.pem BUILD\n"
    "       hospctl --help | --version\n"
    "Opens the server connection the client would open, from the \"DataServer\" or\n"
    "\"FunctionServer\" section of HOSP.INI, and runs one request.\n"
    "Each wait on the server (connect included) ends after the section's Timeout\n"
    "seconds without a byte from it; --timeout overrides that key. Without either,\n"
    "hospctl waits as long as the server needs.\n"
    "\n"
    "Data server (TLS):\n"
    "  handshake                       print Date, RunningFolder, RemoteIP, Accepted\n"
    "  query TABLE LIST KEY [--password-stdin]\n"
    "                                  print the record's lines, then the verdict; with\n"
    "                                  --password-stdin the query carries the first line of\n"
    "                                  standard input as its Password line, and a record whose\n"
    "                                  position 23 differs from it counts as refused (the\n"
    "                                  client's login, for servers that check passwords)\n"
    "  update TABLE SEQ NAME=VALUE...  print the verdict and ErrorCode\n"
    "  fileinfo NAME                   print FileSize and FileDate (packed)\n"
    "  get NAME LOCALPATH              download NAME to LOCALPATH with a progress line\n"
    "  fingerprint                     print the SHA-256 fingerprint of the server's\n"
    "                                  certificate, as the key \"Fingerprint\" takes it\n"
    "Function server (plain TCP):\n"
    "  function JSON                   send the JSON text, print the answer text\n"
    "\n"
    "Signed client builds (no HOSP.INI):\n"
    "  keygen PRIVATE.pem PUBLIC.pem   make an Ed25519 key pair (the private one 0600)\n"
    "  sign PRIVATE.pem BUILD          write BUILD.sig, the signed statement of BUILD\n"
    "                                  (its SHA-256, size and file date)\n"
    "\n"
    "The data server must prove its identity as \"Fingerprint\" and \"CAFile\" in the\n"
    "\"DataServer\" section demand (relative paths are taken from HOSP.INI's folder).\n"
    "\n"
    "Exit status 0 on success; otherwise 1 with the reason on standard error\n"
    "(2 for a command line that cannot be used).\n";

// What the connection would show the user in a message box goes to standard error.
void ShowMessage(const std::string& text, const std::string& caption) {
  std::cout.flush();
  std::cerr << "hospctl: " << text << " (" << caption << ")\n";
}

int UsageError(const std::string& reason) {
  std::cerr << "hospctl: " << reason << "\n" << kUsage;
  return 2;
}

}  // namespace

// Takes "--timeout SECONDS" (or "--timeout=SECONDS") off the front of the arguments;
// false when its value is not a whole number of at least 1.
bool TakeTimeoutOption(Arguments& args, int& timeout_option) {
  if (args.empty() || args[0].rfind("--timeout", 0) != 0) return true;
  std::string value;
  std::size_t used = 1;
  if (args[0].size() > 9 && args[0][9] == '=') {
    value = args[0].substr(10);
  } else if (args[0] == "--timeout" && args.size() > 1) {
    value = args[1];
    used = 2;
  } else if (args[0] != "--timeout") {
    return true;  // another option; the command check reports it
  }
  timeout_option = dbServerConnection::TimeoutSetting(value);
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(used));
  return timeout_option > 0;
}

int main(int argc, char** argv) {
  Arguments args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (!args.empty() && args[0] == "--version") {
    std::cout << "hospctl " << HOSP_VERSION << '\n';
    return 0;
  }
  if (auto key_command = KeyCommands().find(args.empty() ? "" : args[0]);
      key_command != KeyCommands().end()) {
    if (args.size() != 3) return UsageError("wrong number of arguments for \"" + args[0] + "\"");
    try {
      return key_command->second(Arguments(args.begin() + 1, args.end()));
    } catch (const Failure& failure) {
      std::cerr << "hospctl: " << failure.reason << '\n';
      return 1;
    }
  }
  int timeout_option = -1;
  if (!TakeTimeoutOption(args, timeout_option)) {
    return UsageError("--timeout needs a whole number of seconds (1 or more)");
  }
  if (args.size() < 2) return UsageError("missing Hosp.ini path or command");
  auto command = ServerCommands().find(args[1]);
  if (command == ServerCommands().end()) return UsageError("unknown command \"" + args[1] + "\"");
  Arguments rest(args.begin() + 2, args.end());
  if (rest.size() < command->second.min_arguments || rest.size() > command->second.max_arguments) {
    return UsageError("wrong number of arguments for \"" + args[1] + "\"");
  }
  IniFile ini;
  if (!ini.Load(args[0])) {
    std::cerr << "hospctl: cannot read " << args[0] << '\n';
    return 1;
  }
  dbUserInterface::ShowMessage = ShowMessage;
  try {
    return command->second.run(ServerTarget{ini, timeout_option}, rest);
  } catch (const BadUsage& usage) {
    return UsageError(usage.reason);
  } catch (const Failure& failure) {
    std::cout.flush();
    std::cerr << "hospctl: " << failure.reason << '\n';
    return 1;
  } catch (const std::exception& error) {
    // Out of memory, say: a reason and a status, never an abort.
    std::cout.flush();
    std::cerr << "hospctl: " << error.what() << '\n';
    return 1;
  }
}
