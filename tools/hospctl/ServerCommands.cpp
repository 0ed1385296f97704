// hospctl's server commands: the requests the client makes, on the connections it would open.
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "FileDate.h"
#include "HospctlCommands.h"
#include "NameValueList.h"
#include "SecureSocket.h"
#include "TrustSettings.h"
#include "dbServerConnection.h"
#include "dbUserInterface.h"

namespace {

constexpr const char* kProgramID = "Pellomarquin";

constexpr const char* kIdentityRefused = "The data server's identity could not be verified.";
constexpr const char* kFunctionIdentityRefused =
    "The function server's identity could not be verified.";

// `what`, followed by the connection's own reason for the failure when it noted one.
std::string WithReason(const std::string& what, const dbServerConnection& connection) {
  return connection.FailureReason.empty() ? what : what + ": " + connection.FailureReason;
}

// Each server is held to what the client would demand of it (the function server only
// with "Secure=Y").
std::unique_ptr<dbServerConnection> OpenServer(const ServerTarget& target, bool data) {
  const IniFile& ini = target.ini;
  const char* section = data ? "DataServer" : "FunctionServer";
  const TrustSettings trust = TrustSettings::Read(ini);
  const bool secure = data || trust.FunctionServerSecure;
  if (secure && !(data ? trust.FingerprintWellFormed : trust.FunctionFingerprintWellFormed)) {
    std::cerr << "hospctl: \"Fingerprint\" in the \"" << section
              << "\" section is malformed; no server can match it\n";
  }
  const int timeout = target.timeout_option > 0
                          ? target.timeout_option
                          : dbServerConnection::TimeoutSetting(ini.Read(section, "Timeout"));
  return std::make_unique<dbServerConnection>(
      ini.Read(section, "IP"), ini.Read(section, "Port"), data ? kProgramID : "", "", secure,
      timeout, data ? trust.DataServerIdentity : trust.FunctionServerIdentity);
}

// A connection that is up, with no reason left from opening it; otherwise a Failure.
std::unique_ptr<dbServerConnection> OpenConnected(const ServerTarget& target, bool data) {
  auto connection = OpenServer(target, data);
  if (!connection->IsConnected()) {
    if (connection->IdentityRefused) {
      throw Failure{data ? kIdentityRefused : kFunctionIdentityRefused};
    }
    throw Failure{WithReason(
        data ? "Unable to connect to data server" : "Unable to connect to function server",
        *connection)};
  }
  connection->FailureReason.clear();
  return connection;
}

std::unique_ptr<dbServerConnection> OpenDataServer(const ServerTarget& target) {
  return OpenConnected(target, true);
}

// The handshake answer is printed even when it refused the client, so the refusal can be seen.
// "Accepted" comes from the handshake answer itself: a refusal there is reported even when
// the date request that followed let the connection go on, as the client would.
int Handshake(const ServerTarget& target, const Arguments&) {
  auto connection = OpenServer(target, true);
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

int Query(const ServerTarget& target, const Arguments& all_args) {
  std::optional<std::string> password;
  const Arguments args = QueryArguments(all_args, password);
  int list = 0;
  auto [end, error] = std::from_chars(args[1].data(), args[1].data() + args[1].size(), list);
  if (error != std::errc() || end != args[1].data() + args[1].size()) {
    throw Failure{"LIST must be a whole number, not \"" + args[1] + "\""};
  }
  auto connection = OpenDataServer(target);
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

int Update(const ServerTarget& target, const Arguments& args) {
  auto connection = OpenDataServer(target);
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

int FileInfo(const ServerTarget& target, const Arguments& args) {
  auto connection = OpenDataServer(target);
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

int Get(const ServerTarget& target, const Arguments& args) {
  auto connection = OpenDataServer(target);
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

int Function(const ServerTarget& target, const Arguments& args) {
  auto connection = OpenConnected(target, false);
  if (!connection->ExchangeText(args[0])) {
    throw Failure{WithReason("no answer from the function server", *connection)};
  }
  std::cout << connection->AnswerText << '\n';
  return 0;
}

// Only the TLS handshake, without any demand: the point is to learn what the server presents.
int Fingerprint(const ServerTarget& target, const Arguments&) {
  const IniFile& ini = target.ini;
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

}  // namespace

const std::map<std::string, ServerCommand>& ServerCommands() {
  static const std::map<std::string, ServerCommand> commands = {
      {"handshake", {0, 0, Handshake}},
      {"query", {3, 4, Query}},
      {"update", {2, SIZE_MAX, Update}},
      {"fileinfo", {1, 1, FileInfo}},
      {"get", {2, 2, Get}},
      {"function", {1, 1, Function}},
      {"fingerprint", {0, 0, Fingerprint}},
  };
  return commands;
}
