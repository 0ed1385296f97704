// hospctl: an administrator's check of the data and function servers named in a Hosp.ini.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FileDate.h"
#include "IniFile.h"
#include "NameValueList.h"
#include "dbServerConnection.h"

namespace {

constexpr const char* kUsage =
    "Usage: hospctl [--timeout SECONDS] HOSP.INI COMMAND [ARGUMENTS]\n"
    "Opens the server connection the client would open, from the \"DataServer\" or\n"
    "\"FunctionServer\" section of HOSP.INI, and runs one request.\n"
    "Each wait on the server (connect included) ends after the section's Timeout\n"
    "seconds without a byte from it; --timeout overrides that key. Without either,\n"
    "hospctl waits as long as the server needs.\n"
    "\n"
    "Data server (TLS):\n"
    "  handshake                       print Date, RunningFolder, RemoteIP, Accepted\n"
    "  query TABLE LIST KEY            print the record's lines, then the verdict\n"
    "  update TABLE SEQ NAME=VALUE...  print the verdict and ErrorCode\n"
    "  fileinfo NAME                   print FileSize and FileDate (packed)\n"
    "  get NAME LOCALPATH              download NAME to LOCALPATH with a progress line\n"
    "Function server (plain TCP):\n"
    "  function JSON                   send the JSON text, print the answer text\n"
    "\n"
    "Exit status 0 on success; otherwise 1 with a one-line reason on standard error\n"
    "(2 for a command line that cannot be used).\n";

constexpr const char* kProgramID = "Pellomarquin";

// Thrown for a request that did not succeed; main prints the reason and exits 1.
struct Failure {
  std::string reason;
};

using Arguments = std::vector<std::string>;

// Seconds given with --timeout; -1 when the option is absent and the Timeout keys decide.
int timeout_option = -1;

std::unique_ptr<dbServerConnection> OpenServer(const IniFile& ini, bool data) {
  const char* section = data ? "DataServer" : "FunctionServer";
  const int timeout = timeout_option > 0
                          ? timeout_option
                          : dbServerConnection::TimeoutSetting(ini.Read(section, "Timeout"));
  return std::make_unique<dbServerConnection>(ini.Read(section, "IP"), ini.Read(section, "Port"),
                                              data ? kProgramID : "", "", data, timeout);
}

// The reason a request failed: the time limit when a wait ran out, `reason` otherwise.
Failure FailureOf(const dbServerConnection& connection, std::string reason) {
  if (!connection.TimedOut) return Failure{std::move(reason)};
  return Failure{connection.TimeoutText()};
}

std::unique_ptr<dbServerConnection> OpenDataServer(const IniFile& ini) {
  auto connection = OpenServer(ini, true);
  if (!connection->IsConnected()) throw FailureOf(*connection, "Unable to connect to data server");
  return connection;
}

void PrintValue(const char* name, const std::string& value) {
  std::cout << name << '=' << value << '\n';
}

// The handshake answer is printed even when it refused the client, so the refusal can be seen.
int Handshake(const IniFile& ini, const Arguments&) {
  auto connection = OpenServer(ini, true);
  const NameValueList& answer = connection->AnswerList;
  if (!answer.Empty() || connection->IsConnected()) {
    PrintValue("Date", answer.Value("Date"));
    PrintValue("RunningFolder", connection->RunningFolder);
    PrintValue("RemoteIP", connection->RemoteIP);
    PrintValue("Accepted", answer.Value("Accepted"));
  }
  if (!connection->IsConnected()) {
    throw FailureOf(*connection,
                    answer.Empty() ? "Unable to connect to data server" : "handshake refused");
  }
  return 0;
}

int Query(const IniFile& ini, const Arguments& args) {
  int list = 0;
  auto [end, error] = std::from_chars(args[1].data(), args[1].data() + args[1].size(), list);
  if (error != std::errc() || end != args[1].data() + args[1].size()) {
    throw Failure{"LIST must be a whole number, not \"" + args[1] + "\""};
  }
  auto connection = OpenDataServer(ini);
  NameValueList result;
  bool found = connection->QueryTable(args[0], list, args[2], "", result, "", "");
  for (const std::string& line : result.Lines()) std::cout << line << '\n';
  PrintValue("Verdict", found ? "found" : "not found");
  if (!found) throw FailureOf(*connection, "no record for that key");
  return 0;
}

int Update(const IniFile& ini, const Arguments& args) {
  auto connection = OpenDataServer(ini);
  NameValueList fields;
  for (std::size_t i = 2; i < args.size(); ++i) fields.Add(args[i]);
  bool done = connection->UpdateRecord(args[0], args[1], fields);
  PrintValue("Verdict", done ? "done" : "failed");
  PrintValue("ErrorCode", std::to_string(connection->ErrorCode));
  if (!done) throw FailureOf(*connection, "update failed: " + connection->Error);
  return 0;
}

int FileInfo(const IniFile& ini, const Arguments& args) {
  auto connection = OpenDataServer(ini);
  std::int32_t date = connection->GetFileInfo(args[0]);
  PrintValue("FileSize", std::to_string(connection->FileSize));
  PrintValue("FileDate", std::to_string(static_cast<std::uint32_t>(date)));
  if (date == 0) {
    throw FailureOf(*connection, "no date for that file (missing, or the request failed)");
  }
  return 0;
}

// One progress line on standard error, rewritten in place as blocks arrive.
class ProgressLine final : public dbProgressBar {
public:
  void SetMax(int maximum) override { maximum_ = maximum; }
  void SetPosition(int position) override {
    std::fprintf(stderr, "\rReceived %d of %d bytes", position, maximum_);
    std::fflush(stderr);
    shown_ = true;
  }
  ~ProgressLine() override {
    if (shown_) std::fputc('\n', stderr);
  }

private:
  int maximum_ = 0;
  bool shown_ = false;
};

int Get(const IniFile& ini, const Arguments& args) {
  auto connection = OpenDataServer(ini);
  bool received = false;
  {
    ProgressLine progress;
    received = connection->GetFile(args[0], args[1], &progress);
  }
  if (!received) {
    throw FailureOf(*connection, "download failed (empty file, lost connection or unwritable path)");
  }
  std::error_code error;
  PrintValue("FileSize", std::to_string(std::filesystem::file_size(args[1], error)));
  PrintValue("FileDate", std::to_string(static_cast<std::uint32_t>(GetFilePackedDate(args[1]))));
  return 0;
}

int Function(const IniFile& ini, const Arguments& args) {
  auto connection = OpenServer(ini, false);
  if (!connection->IsConnected()) {
    throw FailureOf(*connection, "Unable to connect to function server");
  }
  if (!connection->ExchangeText(args[0])) {
    throw FailureOf(*connection, "no answer from the function server");
  }
  std::cout << connection->AnswerText << '\n';
  return 0;
}

struct Command {
  std::size_t min_arguments;
  std::size_t max_arguments;
  std::function<int(const IniFile&, const Arguments&)> run;
};

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"handshake", {0, 0, Handshake}}, {"query", {3, 3, Query}},
      {"update", {2, SIZE_MAX, Update}}, {"fileinfo", {1, 1, FileInfo}},
      {"get", {2, 2, Get}},             {"function", {1, 1, Function}},
  };
  return commands;
}

int UsageError(const std::string& reason) {
  std::cerr << "hospctl: " << reason << "\n" << kUsage;
  return 2;
}

}  // namespace

// Takes "--timeout SECONDS" (or "--timeout=SECONDS") off the front of the arguments;
// false when its value is not a whole number of at least 1.
bool TakeTimeoutOption(Arguments& args) {
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
  if (!TakeTimeoutOption(args)) return UsageError("--timeout needs a whole number of seconds (1 or more)");
  if (args.size() < 2) return UsageError("missing Hosp.ini path or command");
  auto command = Commands().find(args[1]);
  if (command == Commands().end()) return UsageError("unknown command \"" + args[1] + "\"");
  Arguments rest(args.begin() + 2, args.end());
  if (rest.size() < command->second.min_arguments || rest.size() > command->second.max_arguments) {
    return UsageError("wrong number of arguments for \"" + args[1] + "\"");
  }
  IniFile ini;
  if (!ini.Load(args[0])) {
    std::cerr << "hospctl: cannot read " << args[0] << '\n';
    return 1;
  }
  try {
    return command->second.run(ini, rest);
  } catch (const Failure& failure) {
    std::cout.flush();
    std::cerr << "hospctl: " << failure.reason << '\n';
    return 1;
  }
}
