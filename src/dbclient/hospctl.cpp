// hospctl: an administrator's check of the data and function servers named in a Hosp.ini.
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BuildSignature.h"
#include "FileDate.h"
#include "HospVersion.h"
#include "IniFile.h"
#include "NameValueList.h"
#include "SecureSocket.h"
#include "TrustSettings.h"
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
    "  sign PRIVATE.pem BUILD          write BUILD.sig, the signature of BUILD\n"
    "\n"
    "The data server must prove its identity as \"Fingerprint\" and \"CAFile\" in the\n"
    "\"DataServer\" section demand (relative paths are taken from HOSP.INI's folder).\n"
    "\n"
    "Exit status 0 on success; otherwise 1 with the reason on standard error\n"
    "(2 for a command line that cannot be used).\n";

constexpr const char* kProgramID = "Pellomarquin";

// Thrown for a request that did not succeed; main prints the reason and exits 1.
struct Failure {
  std::string reason;
};

// Thrown for a command line that cannot be used; main prints the usage and exits 2.
struct BadUsage {
  std::string reason;
};

using Arguments = std::vector<std::string>;

constexpr const char* kIdentityRefused = "The data server's identity could not be verified.";

// `what`, followed by the connection's own reason for the failure when it noted one.
std::string WithReason(const std::string& what, const dbServerConnection& connection) {
  return connection.FailureReason.empty() ? what : what + ": " + connection.FailureReason;
}

// Seconds given with --timeout; -1 when the option is absent and the Timeout keys decide.
int timeout_option = -1;

// The data server demands what the client would demand of it.
std::unique_ptr<dbServerConnection> OpenServer(const IniFile& ini, bool data) {
  const char* section = data ? "DataServer" : "FunctionServer";
  const TrustSettings trust = TrustSettings::Read(ini);
  if (data && !trust.FingerprintWellFormed) {
    std::cerr << "hospctl: \"Fingerprint\" in the \"DataServer\" section is malformed; "
                 "no server can match it\n";
  }
  const int timeout = timeout_option > 0
                          ? timeout_option
                          : dbServerConnection::TimeoutSetting(ini.Read(section, "Timeout"));
  return std::make_unique<dbServerConnection>(ini.Read(section, "IP"), ini.Read(section, "Port"),
                                              data ? kProgramID : "", "", data, timeout,
                                              data ? trust.DataServerIdentity : ServerIdentity());
}

// A connection that is up, with no reason left from opening it; otherwise a Failure.
std::unique_ptr<dbServerConnection> OpenConnected(const IniFile& ini, bool data) {
  auto connection = OpenServer(ini, data);
  if (!connection->IsConnected()) {
    if (data && connection->IdentityRefused) throw Failure{kIdentityRefused};
    throw Failure{WithReason(data ? "Unable to connect to data server"
                                  : "Unable to connect to function server",
                             *connection)};
  }
  connection->FailureReason.clear();
  return connection;
}

std::unique_ptr<dbServerConnection> OpenDataServer(const IniFile& ini) {
  return OpenConnected(ini, true);
}

void PrintValue(const char* name, const std::string& value) {
  std::cout << name << '=' << value << '\n';
}

// The handshake answer is printed even when it refused the client, so the refusal can be seen.
// "Accepted" comes from the handshake answer itself: a refusal there is reported even when
// the date request that followed let the connection go on, as the client would.
int Handshake(const IniFile& ini, const Arguments&) {
  auto connection = OpenServer(ini, true);
  NameValueList first;
  first.SetCommaText(connection->HandshakeAnswer);
  if (!connection->HandshakeAnswer.empty()) {
    PrintValue("Date", connection->AnswerList.Value("Date"));
    PrintValue("RunningFolder", connection->RunningFolder);
    PrintValue("RemoteIP", connection->RemoteIP);
    PrintValue("Accepted", first.Value("Accepted"));
  }
  if (connection->HandshakeAnswer.empty()) {
    if (connection->IdentityRefused) throw Failure{kIdentityRefused};
    throw Failure{WithReason("Unable to connect to data server", *connection)};
  }
  if (first.Value("Accepted") != "Y") {
    const std::string error = first.Value("Error");
    std::string reason = error.empty() ? "handshake refused" : "handshake refused: " + error;
    if (connection->IsConnected()) {
      reason += " (the date request was answered, so the client would go on)";
    }
    throw Failure{reason};
  }
  if (!connection->IsConnected()) throw Failure{WithReason("handshake failed", *connection)};
  return 0;
}

constexpr const char* kPasswordStdin = "--password-stdin";
// The login's position of the password in a "Personnel" record.
constexpr int kPasswordItem = 23;

// The first line of standard input without its line end (LF or CR LF).
std::string ReadPasswordLine() {
  std::string line;
  if (!std::getline(std::cin, line)) throw Failure{"no password on standard input"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The query's arguments without the option; `password` is read when the option is there.
Arguments QueryArguments(const Arguments& args, std::optional<std::string>& password) {
  Arguments rest;
  for (const std::string& arg : args) {
    if (arg == kPasswordStdin && !password) {
      password = ReadPasswordLine();
    } else {
      rest.push_back(arg);
    }
  }
  if (rest.size() != 3) throw BadUsage{"wrong number of arguments for \"query\""};
  return rest;
}

int Query(const IniFile& ini, const Arguments& all_args) {
  std::optional<std::string> password;
  const Arguments args = QueryArguments(all_args, password);
  int list = 0;
  auto [end, error] = std::from_chars(args[1].data(), args[1].data() + args[1].size(), list);
  if (error != std::errc() || end != args[1].data() + args[1].size()) {
    throw Failure{"LIST must be a whole number, not \"" + args[1] + "\""};
  }
  auto connection = OpenDataServer(ini);
  NameValueList result;
  NameValueList password_line;
  if (password) password_line.Add("Password=" + *password);
  bool found = connection->QueryTable(args[0], list, args[2], "", result, "", "", password_line);
  if (!found && !connection->FailureReason.empty()) {
    PrintValue("Verdict", "failed");
    throw Failure{WithReason("query failed", *connection)};
  }
  for (const std::string& line : result.Lines()) std::cout << line << '\n';
  PrintValue("Verdict", found ? "found" : "not found");
  if (!found && !result.Empty() && result[0].rfind("Error:", 0) == 0) {
    throw Failure{"the server refused the query: " + result[0]};
  }
  if (!found) throw Failure{"no record for that key"};
  if (password && (result.Count() <= kPasswordItem || result[kPasswordItem] != *password)) {
    throw Failure{"the password does not match the record"};
  }
  return 0;
}

// Why the server refused an update: its "Error" text, and what was wrong with its
// "ErrorCode" when that could not be read.
std::string RefusalReason(const dbServerConnection& connection) {
  const std::string code = connection.AnswerList.Value("ErrorCode");
  const bool unreadable =
      connection.ErrorCode == UNREADABLE_ERROR_CODE && code != std::to_string(INT32_MIN);
  if (!unreadable) return connection.Error.empty() ? "ErrorCode " + code : connection.Error;
  const std::string detail =
      "ErrorCode \"" + code + "\" is not a whole number in the signed 32-bit range";
  return connection.Error.empty() ? detail : connection.Error + " (" + detail + ")";
}

int Update(const IniFile& ini, const Arguments& args) {
  auto connection = OpenDataServer(ini);
  NameValueList fields;
  for (std::size_t i = 2; i < args.size(); ++i) fields.Add(args[i]);
  bool done = connection->UpdateRecord(args[0], args[1], fields);
  PrintValue("Verdict", done ? "done" : "failed");
  if (!done && !connection->FailureReason.empty()) {
    throw Failure{WithReason("update failed", *connection)};
  }
  PrintValue("ErrorCode", connection->ErrorCode == UNREADABLE_ERROR_CODE
                              ? connection->AnswerList.Value("ErrorCode")
                              : std::to_string(connection->ErrorCode));
  if (!done) throw Failure{"update failed: " + RefusalReason(*connection)};
  return 0;
}

int FileInfo(const IniFile& ini, const Arguments& args) {
  auto connection = OpenDataServer(ini);
  std::int32_t date = connection->GetFileInfo(args[0]);
  PrintValue("FileSize", std::to_string(connection->FileSize));
  PrintValue("FileDate", std::to_string(static_cast<std::uint32_t>(date)));
  if (date == 0 && !connection->FailureReason.empty()) {
    throw Failure{WithReason("the file size and date question failed", *connection)};
  }
  if (date == 0) {
    throw Failure{connection->Error.empty() ? "no date for that file"
                                            : "no date for that file: " + connection->Error};
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
  if (!received) throw Failure{WithReason("download failed", *connection)};
  std::error_code error;
  PrintValue("FileSize", std::to_string(std::filesystem::file_size(args[1], error)));
  PrintValue("FileDate", std::to_string(static_cast<std::uint32_t>(GetFilePackedDate(args[1]))));
  return 0;
}

int Function(const IniFile& ini, const Arguments& args) {
  auto connection = OpenConnected(ini, false);
  if (!connection->ExchangeText(args[0])) {
    throw Failure{WithReason("no answer from the function server", *connection)};
  }
  std::cout << connection->AnswerText << '\n';
  return 0;
}

// Only the TLS handshake, without any demand: the point is to learn what the server presents.
int Fingerprint(const IniFile& ini, const Arguments&) {
  const std::string host = ini.Read("DataServer", "IP");
  const int port = dbServerConnection::PortNumber(ini.Read("DataServer", "Port"));
  std::optional<CertificateFingerprint> fingerprint;
  try {
    SecureSocket socket;
    if (socket.Connect(host.c_str(), port) != SOCK_SUCCESS) {
      throw Failure{"Unable to connect to data server"};
    }
    fingerprint = ServerIdentity::OfPeer(socket.ssl);
  } catch (const std::exception& error) {
    throw Failure{std::string("TLS failed: ") + error.what()};
  }
  if (!fingerprint) throw Failure{"the data server presented no certificate"};
  std::cout << ServerIdentity::Format(*fingerprint) << '\n';
  return 0;
}

int KeyGen(const Arguments& args) {
  std::string error;
  if (!BuildSignature::MakeKeyPair(args[0], args[1], error)) throw Failure{error};
  std::cout << "Private key: " << args[0] << " (keep it secret)\nPublic key: " << args[1] << '\n';
  return 0;
}

int Sign(const Arguments& args) {
  std::string bytes;
  if (!BuildSignature::ReadWholeFile(args[1], bytes)) throw Failure{"cannot read " + args[1]};
  std::string error;
  const std::string signature = BuildSignature::Sign(args[0], bytes, error);
  if (signature.empty()) throw Failure{error};
  if (!BuildSignature::WriteFileAtomically(args[1] + ".sig", signature, 0644, error)) {
    throw Failure{error};
  }
  std::cout << "Signature: " << args[1] << ".sig\n";
  return 0;
}

// The publisher's commands, which need no Hosp.ini.
const std::map<std::string, std::function<int(const Arguments&)>>& KeyCommands() {
  static const std::map<std::string, std::function<int(const Arguments&)>> commands = {
      {"keygen", KeyGen}, {"sign", Sign}};
  return commands;
}

struct Command {
  std::size_t min_arguments;
  std::size_t max_arguments;
  std::function<int(const IniFile&, const Arguments&)> run;
};

const std::map<std::string, Command>& Commands() {
  static const std::map<std::string, Command> commands = {
      {"handshake", {0, 0, Handshake}}, {"query", {3, 4, Query}},
      {"update", {2, SIZE_MAX, Update}}, {"fileinfo", {1, 1, FileInfo}},
      {"get", {2, 2, Get}},             {"function", {1, 1, Function}},
      {"fingerprint", {0, 0, Fingerprint}},
  };
  return commands;
}

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
  if (!TakeTimeoutOption(args)) {
    return UsageError("--timeout needs a whole number of seconds (1 or more)");
  }
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
  dbUserInterface::ShowMessage = ShowMessage;
  try {
    return command->second.run(ini, rest);
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
