// Tests of hospctl, run as a program against scripted data and function servers.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "FileDate.h"
#include "HospdProcess.h"
#include "ScriptedServer.h"
#include "TestScripts.h"
#include "dbServerConnection.h"

namespace {

// A temporary folder with a Hosp.ini naming the two servers.
class Workspace {
 public:
  std::string Path(const char* name) const { return folder_.Path(name); }

  std::string WriteIni(int data_port, int function_port) const {
    std::ofstream(Path("Hosp.ini"))
        << "[DataServer]\r\nIP=127.0.0.1\r\nPort=" << data_port
        << "\r\n[FunctionServer]\r\nIP=127.0.0.1\r\nPort=" << function_port << "\r\n";
    return Path("Hosp.ini");
  }

  // Runs hospctl (the build puts its path into HOSPCTL_PATH) with the arguments; ends it if
  // it takes longer than 20 seconds.
  CommandOutcome Run(const std::vector<std::string>& arguments) const {
    return RunProgram(HOSPCTL_PATH, arguments, "", std::chrono::seconds(20));
  }

 private:
  TempFolder folder_{"hosp-hospctl"};
};

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::string> answers;  // after the handshake
  int status;
  std::string out;
  std::string err;
};

}  // namespace

// Each data-server command prints its answer and exits by its verdict.
TEST(HospctlTest, DataServerCommands) {
  const Case cases[] = {
      {"Handshake",
       {"handshake"},
       {},
       0,
       "Date=45123.5\nRunningFolder=C:\\Hosp\nRemoteIP=127.0.0.1\nAccepted=Y\n",
       ""},
      {"QueryFound",
       {"query", "Personnel", "4", "dr who@example.org"},
       {"17,\"Dr Who\",Y"},
       0,
       "17\nDr Who\nY\nVerdict=found\n",
       ""},
      {"QueryMissing",
       {"query", "Personnel", "4", "nobody"},
       {"~"},
       1,
       "~\nVerdict=not found\n",
       "hospctl: no record for that key\n"},
      {"UpdateDone",
       {"update", "Cases", "42", "f25=Y"},
       {"ErrorCode=0"},
       0,
       "Verdict=done\nErrorCode=0\n",
       ""},
      {"UpdateFailed",
       {"update", "Cases", "42", "f25=Y"},
       {"ErrorCode=7,Error=Locked"},
       1,
       "Verdict=failed\nErrorCode=7\n",
       "hospctl: update failed: Locked\n"},
      {"FileInfo",
       {"fileinfo", "Clients\\Pellomarquin.exe"},
       {"FileSize=5,FileDate=1483564459"},
       0,
       "FileSize=5\nFileDate=1483564459\n",
       ""},
      {"FileInfoMissing",
       {"fileinfo", "nothing"},
       {"FileSize=0"},
       1,
       "FileSize=0\nFileDate=0\n",
       "hospctl: no date for that file\n"},
  };
  Workspace workspace;
  for (const Case& c : cases) {
    ScriptedServer data(true);
    data.Expect(HandshakeThen(c.answers));
    std::vector<std::string> arguments{workspace.WriteIni(data.Port(), 1)};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    CommandOutcome outcome = workspace.Run(arguments);
    EXPECT_EQ(outcome.status, c.status) << c.name;
    EXPECT_EQ(outcome.out, c.out) << c.name;
    EXPECT_EQ(outcome.err, c.err) << c.name;
  }
}

// A refused handshake is printed and ends with a reason and a non-zero status.
TEST(HospctlTest, RefusedHandshake) {
  Workspace workspace;
  ScriptedServer data(true);
  data.Expect(AnswerFrames({"Date=45000,RunningFolder=R,RemoteIP=1.2.3.4,Accepted=y"}));
  CommandOutcome outcome = workspace.Run({workspace.WriteIni(data.Port(), 1), "handshake"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "Date=45000\nRunningFolder=R\nRemoteIP=1.2.3.4\nAccepted=y\n");
  EXPECT_EQ(outcome.err, "hospctl: handshake refused\n");
}

// On the date-request path the handshake prints the date answer, and the client is in.
TEST(HospctlTest, HandshakeByDateRequest) {
  Workspace workspace;
  ScriptedServer data(true);
  data.Expect(AnswerFrames({"RunningFolder=R,Accepted=Y", "Date=45123.25"}));
  CommandOutcome outcome = workspace.Run({workspace.WriteIni(data.Port(), 1), "handshake"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "Date=45123.25\nRunningFolder=\nRemoteIP=\nAccepted=Y\n");
}

// Every failure ends with its own reason and status 1, never "no record" for a request that
// got no answer, and messages the connection would show reach standard error.
TEST(HospctlTest, FailuresGiveTheirReason) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    Script script;
    std::string err;
  };
  const std::string huge_key(MAX_FRAME_TEXT, 'k');
  const Case cases[] = {
      {"TooLargeToSend",
       {"query", "Personnel", "4", huge_key},
       HandshakeThen({}),
       "hospctl: Application Error (Sending a message larger than MessageBuffer)\n"
       "hospctl: query failed: the request is too large to send (50020 characters; at most "
       "49988)\n"},
      {"LostMidAnswer",
       {"query", "Personnel", "4", "a"},
       [](ServerPeer& peer) {
         Frame frame;
         if (peer.AcceptHandshake() && peer.ReadFrame(frame)) peer.Send("17,Dr");
         peer.Close();
       },
       "hospctl: query failed: the connection ended before the whole answer arrived\n"},
      {"LoneNul",
       {"query", "Personnel", "4", "a"},
       HandshakeThen({""}),
       "hospctl: query failed: the server's answer was empty\n"},
      {"ServerError",
       {"query", "Personnel", "4", "a"},
       HandshakeThen({"\"Error: no handshake\""}),
       "hospctl: the server refused the query: Error: no handshake\n"},
      {"UpdateWithoutText",
       {"update", "Cases", "42", "f25=Y"},
       HandshakeThen({"ErrorCode=7"}),
       "hospctl: update failed: ErrorCode 7\n"},
      {"UpdateOverflow",
       {"update", "Cases", "42", "f25=Y"},
       HandshakeThen({"ErrorCode=4294967296,Error=overflow"}),
       "hospctl: update failed: overflow (ErrorCode \"4294967296\" is not a whole number in "
       "the signed 32-bit range)\n"},
      {"RefusedThenDate",
       {"handshake"},
       AnswerFrames({"Accepted=N,Error=Old", "Date=45123.25"}),
       "hospctl: handshake refused: Old (the date request was answered, so the client would go "
       "on)\n"},
  };
  Workspace workspace;
  for (const Case& c : cases) {
    ScriptedServer data(true);
    data.Expect(c.script);
    std::vector<std::string> arguments{workspace.WriteIni(data.Port(), 1)};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    CommandOutcome outcome = workspace.Run(arguments);
    EXPECT_EQ(outcome.status, 1) << c.name;
    EXPECT_EQ(outcome.err, c.err) << c.name;
  }
}

// A download writes the file with the server's date and shows its progress.
TEST(HospctlTest, GetWritesFile) {
  Workspace workspace;
  ScriptedServer data(true);
  const std::string body = Patterned(120000);
  data.Expect([body](ServerPeer& peer) {
    Frame frame;
    if (!peer.AcceptHandshake() || !peer.ReadFrame(frame)) return;
    peer.Send(EncodeDownloadHeader({static_cast<std::int32_t>(body.size()), 0x586F6DAF}) + body);
    peer.Answer("ErrorCode=0");
  });
  const std::string local = workspace.Path("client.exe");
  CommandOutcome outcome = workspace.Run(
      {workspace.WriteIni(data.Port(), 1), "get", "Clients\\Pellomarquin.exe", local});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "FileSize=120000\nFileDate=" + std::to_string(0x586F6DAFu) + "\n");
  EXPECT_NE(outcome.err.find("Received 120000 of 120000 bytes"), std::string::npos) << outcome.err;
  EXPECT_EQ(ReadBytes(local), body);
}

// The function command sends the bare JSON text and prints the answer.
TEST(HospctlTest, FunctionExchange) {
  Workspace workspace;
  ScriptedServer function(false);
  function.Expect([](ServerPeer& peer) {
    std::string text;
    if (peer.ReadText(text)) peer.Answer("{Echo:" + text + "}");
  });
  CommandOutcome outcome = workspace.Run({workspace.WriteIni(1, function.Port()), "function",
                                          "{ServerCommand:getdoctorcases,DoctorSeq:17}"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "{Echo:{ServerCommand:getdoctorcases,DoctorSeq:17}}\n");
  EXPECT_EQ(function.Received(0),
            std::string("{ServerCommand:getdoctorcases,DoctorSeq:17}") + '\0');
}

// Help, bad command lines, a missing file and an absent server each end with their own status and
// reason.
TEST(HospctlTest, UsageAndStartFailures) {
  Workspace workspace;
  int free_port = 0;
  {
    ScriptedServer gone(false);
    free_port = gone.Port();
  }
  const std::string ini = workspace.WriteIni(free_port, free_port);

  CommandOutcome help = workspace.Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: hospctl [--timeout SECONDS] HOSP.INI COMMAND", 0), 0u);

  CommandOutcome unknown = workspace.Run({ini, "shutdown"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("hospctl: unknown command \"shutdown\"\n", 0), 0u);

  CommandOutcome short_query = workspace.Run({ini, "query", "Personnel"});
  EXPECT_EQ(short_query.status, 2);

  CommandOutcome no_file = workspace.Run({workspace.Path("missing.ini"), "handshake"});
  EXPECT_EQ(no_file.status, 1);
  EXPECT_EQ(no_file.err, "hospctl: cannot read " + workspace.Path("missing.ini") + "\n");

  CommandOutcome no_data = workspace.Run({ini, "handshake"});
  EXPECT_EQ(no_data.status, 1);
  const std::string unreachable =
      ": no connection to 127.0.0.1:" + std::to_string(free_port) + "\n";
  EXPECT_EQ(no_data.err, "hospctl: Unable to connect to data server" + unreachable);

  CommandOutcome no_function = workspace.Run({ini, "function", "{}"});
  EXPECT_EQ(no_function.status, 1);
  EXPECT_EQ(no_function.err, "hospctl: Unable to connect to function server" + unreachable);
}

// "fingerprint" prints what the certificate file says of itself (as the openssl tool reads
// it), and the handshake honours "Fingerprint" and "CAFile" from the file's own folder.
TEST(HospctlTest, FingerprintAndTheIdentityKeys) {
  HospdProcess hospd;
  Workspace workspace;
  const std::string certificate = hospd.DataDir() + "/server.crt";
  CommandOutcome expected =
      RunProgram("openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", certificate});
  ASSERT_EQ(expected.status, 0);
  const std::string ini = workspace.WriteIni(hospd.DataPort(), hospd.FunctionPort());
  CommandOutcome printed = workspace.Run({ini, "fingerprint"});
  EXPECT_EQ(printed.status, 0);
  EXPECT_EQ("sha256 Fingerprint=" + printed.out, expected.out);
  const std::string pin = printed.out.substr(0, printed.out.size() - 1);

  std::filesystem::copy_file(certificate, workspace.Path("ca.pem"));
  const struct {
    std::string keys;
    int status;
  } rows[] = {{"Fingerprint=" + pin, 0},
              {"CAFile=ca.pem", 0},
              {"Fingerprint=" + pin + "\nCAFile=missing.pem", 1},
              {"Fingerprint=" + std::string(pin[0] == 'A' ? "B" : "A") + pin.substr(1), 1}};
  for (const auto& row : rows) {
    std::ofstream(ini) << "[DataServer]\nIP=127.0.0.1\nPort=" << hospd.DataPort() << "\n"
                       << row.keys << "\n";
    CommandOutcome handshake = workspace.Run({ini, "handshake"});
    EXPECT_EQ(handshake.status, row.status) << row.keys;
    EXPECT_EQ(handshake.err, row.status == 0 ? ""
                                             : "hospctl: The data server's identity could not be "
                                               "verified.\n")
        << row.keys;
  }
}

// With "Secure=Y" in "FunctionServer", the function command reaches hospd --function-tls
// over TLS and holds it to that section's "Fingerprint"; without the key it gets no answer.
TEST(HospctlTest, FunctionServerOverTls) {
  HospdProcess hospd({"--function-tls"});
  Workspace workspace;
  const std::string ini = workspace.WriteIni(hospd.DataPort(), hospd.FunctionPort());
  const CommandOutcome printed = workspace.Run({ini, "fingerprint"});
  ASSERT_EQ(printed.status, 0);
  const std::string pin = printed.out.substr(0, printed.out.size() - 1);
  const struct {
    std::string keys;
    int status;
    std::string err;
  } rows[] = {{"Secure=Y", 0, ""},
              {"Secure=Y\nFingerprint=" + pin, 0, ""},
              {"Secure=Y\nFingerprint=" + std::string(pin[0] == 'A' ? "B" : "A") + pin.substr(1), 1,
               "hospctl: The function server's identity could not be verified.\n"},
              {"", 1, "hospctl: "}};
  for (const auto& row : rows) {
    std::ofstream(ini) << "[FunctionServer]\nIP=127.0.0.1\nPort=" << hospd.FunctionPort() << "\n"
                       << row.keys << "\n";
    const CommandOutcome outcome =
        workspace.Run({ini, "function", "{ServerCommand:getdoctorcases,DoctorSeq:1001}"});
    EXPECT_EQ(outcome.status, row.status) << row.keys;
    EXPECT_EQ(outcome.err.substr(0, row.err.size()), row.err) << row.keys;
    EXPECT_EQ(outcome.out.find("CaseList") != std::string::npos, row.status == 0) << row.keys;
  }
}

// keygen makes a pair (the private half for its owner only, never over an existing file);
// sign writes BUILD.sig, a statement of the build's SHA-256, size and file date whose
// signature the openssl tool verifies with the public half.
TEST(HospctlTest, KeygenAndSignMakeAVerifiableStatement) {
  Workspace workspace;
  const std::string private_key = workspace.Path("private.pem");
  const std::string public_key = workspace.Path("public.pem");
  EXPECT_EQ(workspace.Run({"keygen", private_key, public_key}).status, 0);
  EXPECT_EQ(std::filesystem::status(private_key).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string public_text = ReadBytes(public_key);
  EXPECT_EQ(workspace.Run({"keygen", workspace.Path("other.pem"), public_key}).status, 1);
  EXPECT_EQ(ReadBytes(public_key), public_text);
  EXPECT_FALSE(std::filesystem::exists(workspace.Path("other.pem")));

  const std::string build = workspace.Path("Pellomarquin.exe");
  std::ofstream(build, std::ios::binary) << std::string(100000, 'b') << "end";
  EXPECT_EQ(workspace.Run({"sign", private_key, build}).status, 0);
  const std::string statement = ReadBytes(build + ".sig");
  const std::size_t signature_at = statement.find("signature ");
  ASSERT_NE(signature_at, std::string::npos) << statement;
  const std::string digest = RunProgram("openssl", {"dgst", "-sha256", "-r", build}).out;
  EXPECT_EQ(statement.substr(0, signature_at), "hosp-build-statement 1\nsha256 " +
                                                   digest.substr(0, 64) + "\nsize 100003\ndate " +
                                                   std::to_string(GetFilePackedDate(build)) + "\n");
  WriteBytes(workspace.Path("signed"), statement.substr(0, signature_at));
  std::string signature;
  for (std::size_t at = signature_at + 10; at + 1 < statement.size(); at += 2) {
    signature += static_cast<char>(std::stoi(statement.substr(at, 2), nullptr, 16));
  }
  WriteBytes(workspace.Path("signature"), signature);
  const std::vector<std::string> verify{"pkeyutl",  "-verify",
                                        "-pubin",   "-inkey",
                                        public_key, "-rawin",
                                        "-in",      workspace.Path("signed"),
                                        "-sigfile", workspace.Path("signature")};
  EXPECT_EQ(RunProgram("openssl", verify).status, 0);
  std::string changed = statement.substr(0, signature_at);
  changed.replace(changed.find("size 100003"), 11, "size 100004");
  WriteBytes(workspace.Path("signed"), changed);
  EXPECT_NE(RunProgram("openssl", verify).status, 0);
}

// A data server that takes the handshake and then stays silent: the Timeout key ends the
// wait with the server named, --timeout overrides the key, and a --timeout that is no whole
// number of seconds is a usage error.
TEST(HospctlTest, TimeoutKeyAndOption) {
  Workspace workspace;
  ScriptedServer data(true);
  for (int i = 0; i < 2; ++i) {
    data.Expect([](ServerPeer& peer) {
      if (peer.AcceptHandshake()) peer.WaitForClose();
    });
  }
  const std::string ini = workspace.WriteIni(data.Port(), data.Port());
  std::ofstream(ini, std::ios::app) << "[DataServer]\r\nTimeout=30\r\n";

  const auto start = std::chrono::steady_clock::now();
  CommandOutcome overridden = workspace.Run({"--timeout", "1", ini, "fileinfo", "Clients\\x"});
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(overridden.status, 1);
  EXPECT_NE(overridden.err.find("The data server did not answer within 1 second.\n"),
            std::string::npos)
      << overridden.err;
  EXPECT_LT(waited, 10.0);

  std::ofstream(ini) << "[DataServer]\r\nIP=127.0.0.1\r\nPort=" << data.Port()
                     << "\r\nTimeout=1\r\n";
  CommandOutcome from_key = workspace.Run({ini, "query", "Personnel", "4", "x"});
  EXPECT_EQ(from_key.status, 1);
  EXPECT_NE(from_key.err.find("The data server did not answer within 1 second.\n"),
            std::string::npos)
      << from_key.err;

  for (const char* bad : {"0", "soon", "-1"}) {
    CommandOutcome usage = workspace.Run({"--timeout=" + std::string(bad), ini, "handshake"});
    EXPECT_EQ(usage.status, 2) << bad;
  }
}
