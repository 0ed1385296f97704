// The server's own password check (hospd --server-login) through the client's connection:
// answers, their timing, the stored form, throttled guessing (also in parallel and from two
// client addresses) and the move from clear passwords.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DbProbe.h"
#include "PostgresServer.h"
#include "SecureSocket.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kAnna = "anna.weber@hospital.example";
const std::string kLukas = "lukas.brenner@hospital.example";

struct LoginAnswer {
  bool found = false;
  NameValueList record;
  double seconds = 0;  // the query alone, without connecting
};

// The login's query as a client with SendPassword=Y sends it (or one without the line).
LoginAnswer Login(dbServerConnection& connection, const std::string& email,
                  const std::optional<std::string>& password) {
  NameValueList extra;
  if (password) extra.Add("Password=" + *password);
  LoginAnswer answer;
  const auto start = Clock::now();
  answer.found = connection.QueryTable("Personnel", 4, email, "", answer.record, "", "", extra);
  answer.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return answer;
}

LoginAnswer Login(const HospdProcess& server, const std::string& email,
                  const std::optional<std::string>& password) {
  return Login(*OpenDataConnection(server), email, password);
}

// The database file and its write-ahead log, as bytes.
std::string DatabaseBytes(const HospdProcess& server) {
  std::string bytes;
  for (const std::string suffix : {"", "-wal"}) bytes += ReadBytes(server.DatabasePath() + suffix);
  return bytes;
}

// The client's TLS socket connecting from 127.0.0.2: to the server, another client machine.
class OtherAddressSocket final : public SecureSocket {
 public:
  int Connect(const char* host, int port) override {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &source.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, host, &server.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
      ::close(fd);
      return SOCK_ERROR;
    }
    handle = fd;
    return TLSConnect(host);
  }

  static std::unique_ptr<PlainSocket> Make(bool) { return std::make_unique<OtherAddressSocket>(); }
};

std::unique_ptr<dbServerConnection> OpenFromOtherAddress(const HospdProcess& server) {
  dbServerConnection::SocketMaker = OtherAddressSocket::Make;
  auto connection = OpenDataConnection(server);
  dbServerConnection::SocketMaker = nullptr;
  return connection;
}

int CountOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

struct LoginCase {
  const char* name;
  std::string email;
  std::optional<std::string> password;
  bool found;
};

// Only the right password gets the record, with what was typed at 23 and no stored form
// anywhere; a wrong or missing password and an unknown address all get "~", and none of
// them comes back in less than a fifth of the time of a wrong password (the fastest of three
// each, as other work on the machine only makes answers slower).
TEST(ServerLoginTest, AnswersOnlyTheRightPasswordAndRefusalsTakeAlike) {
  HospdProcess server({"--server-login"});
  const std::vector<LoginCase> cases{
      {"RightPassword", kAnna, "demo", true},
      {"AddressInOtherCase", "ANNA.Weber@hospital.example", "demo", true},
      {"WrongPassword", kLukas, "Demo", false},
      {"UnknownAddress", "nobody@hospital.example", "demo", false},
      {"NoPasswordLine", "jonas.hoffmann@hospital.example", std::nullopt, false},
      {"EmptyPassword", "paul.richter@hospital.example", "", false},
  };
  const auto connection = OpenDataConnection(server);
  std::vector<double> fastest;
  for (const LoginCase& row : cases) {
    double best = 1e9;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const LoginAnswer answer = Login(*connection, row.email, row.password);
      best = std::min(best, answer.seconds);
      ASSERT_EQ(answer.found, row.found) << row.name;
      if (row.found) {
        ASSERT_GE(answer.record.Count(), 28) << row.name;
        EXPECT_EQ(answer.record[23], *row.password) << row.name;
        EXPECT_EQ(answer.record.CommaText().find("$scrypt$"), std::string::npos) << row.name;
      } else {
        EXPECT_EQ(answer.record.Lines(), std::vector<std::string>{"~"}) << row.name;
      }
    }
    fastest.push_back(best);
  }
  // A refusal that skipped the password hash would take a small fraction of a hashed one; the
  // margin leaves room for a busy machine slowing some attempts and not others.
  const double wrong_password = fastest[2];
  for (std::size_t i = 2; i < cases.size(); ++i) {
    EXPECT_GE(fastest[i], 0.2 * wrong_password)
        << cases[i].name << " took " << fastest[i] << " s, a wrong password " << wrong_password;
  }
}

// New passwords set while the database is in hashed mode are stored hashed without being
// asked to, and log in; no password the server ever saw is in the file in clear.
TEST(ServerLoginTest, DatabaseHoldsNoClearPassword) {
  HospdProcess server({"--server-login"});
  const std::string eva = "eva.lang@hospital.example";
  const CommandOutcome added =
      RunHospd({"staff", "add", "--data", server.DataDir(), "--email", eva, "--first-name", "Eva",
                "--last-name", "Lang", "--physician", "--password-stdin"},
               "Kestrel-7 secret\n");
  ASSERT_EQ(added.status, 0) << added.err;
  const CommandOutcome changed = RunHospd(
      {"staff", "passwd", "--data", server.DataDir(), "--email", kAnna, "--password-stdin"},
      "Osprey 42\n");
  ASSERT_EQ(changed.status, 0) << changed.err;

  EXPECT_TRUE(Login(server, eva, "Kestrel-7 secret").found);
  EXPECT_TRUE(Login(server, kAnna, "Osprey 42").found);
  EXPECT_TRUE(Login(server, kLukas, "demo").found);
  const std::string bytes = DatabaseBytes(server);
  ASSERT_FALSE(bytes.empty());
  for (const char* password : {"demo", "Kestrel-7 secret", "Osprey 42"}) {
    EXPECT_EQ(bytes.find(password), std::string::npos) << password;
  }
}

// From the 6th failure on, an address's answers wait (1 s, then 2 s, even for the right
// password), while another address logs in from the same client meanwhile; each failed and
// each delayed login is one log line.
TEST(ServerLoginTest, ThrottlingStartsAfterTheFifthFailure) {
  HospdProcess server({"--server-login"});
  const auto connection = OpenDataConnection(server);
  for (int i = 0; i < 5; ++i) ASSERT_FALSE(Login(*connection, kAnna, "guess").found);
  const LoginAnswer sixth = Login(*connection, kAnna, "guess");
  EXPECT_FALSE(sixth.found);
  EXPECT_GE(sixth.seconds, 1.0);

  std::atomic<bool> anna_answered = false;
  LoginAnswer seventh;
  std::thread anna([&] {
    seventh = Login(*connection, kAnna, "demo");
    anna_answered = true;
  });
  const LoginAnswer lukas = Login(server, kLukas, "demo");
  const bool lukas_first = !anna_answered;
  anna.join();
  EXPECT_TRUE(lukas.found);
  EXPECT_TRUE(lukas_first) << "Lukas took " << lukas.seconds << " s";
  EXPECT_TRUE(seventh.found);
  EXPECT_GE(seventh.seconds, 2.0);

  const std::string log = server.LogText();
  EXPECT_EQ(CountOf(log, "login refused for " + kAnna), 6) << log;
  EXPECT_EQ(CountOf(log, "throttled"), 2) << log;
}

// After 50 failures from one client address, even a right login from it waits.
TEST(ServerLoginTest, ManyFailuresFromOneClientSlowEveryLogin) {
  HospdProcess server({"--server-login"});
  const auto connection = OpenDataConnection(server);
  for (int i = 0; i < 50; ++i) {
    ASSERT_FALSE(
        Login(*connection, "guess" + std::to_string(i) + "@hospital.example", "demo").found);
  }
  const LoginAnswer lukas = Login(*connection, kLukas, "demo");
  EXPECT_TRUE(lukas.found);
  EXPECT_GE(lukas.seconds, 1.0);
}

// hospctl's --password-stdin is the client's login: the right password passes, another one
// is refused with its reason.
TEST(ServerLoginTest, HospctlSendsThePassword) {
  HospdProcess server({"--server-login"});
  const std::string ini = server.DataDir() + "/Hosp.ini";
  std::ofstream(ini) << "[DataServer]\nIP=127.0.0.1\nPort=" << server.DataPort() << "\n";
  const std::vector<std::string> query{ini, "query", "Personnel", "4", kAnna, "--password-stdin"};
  const CommandOutcome right = RunProgram(HOSPCTL_PATH, query, "demo\n");
  EXPECT_EQ(right.status, 0) << right.err;
  EXPECT_NE(right.out.find("Verdict=found"), std::string::npos);
  const CommandOutcome wrong = RunProgram(HOSPCTL_PATH, query, "Demo\n");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("Verdict=not found"), std::string::npos);
}

// A demo database moves from clear to hashed passwords: first the server checks the clear
// ones itself, then rehash-passwords hashes them, after which a server without
// --server-login refuses to start and says why.
TEST(ServerLoginTest, ClearPasswordsMoveToHashes) {
  HospdProcess server;
  const LoginAnswer classic = Login(server, kAnna, std::nullopt);
  ASSERT_GE(classic.record.Count(), 28);
  EXPECT_EQ(classic.record[23], "demo");
  server.Restart({"--server-login"});
  EXPECT_TRUE(Login(server, kAnna, "demo").found);
  EXPECT_FALSE(Login(server, kAnna, std::nullopt).found);
  server.Stop();

  const CommandOutcome rehashed = RunHospd({"rehash-passwords", "--data", server.DataDir()});
  ASSERT_EQ(rehashed.status, 0) << rehashed.err;
  EXPECT_NE(rehashed.out.find("Hashed 5 passwords"), std::string::npos) << rehashed.out;
  EXPECT_EQ(DatabaseBytes(server).find("demo"), std::string::npos);

  const CommandOutcome plain =
      RunHospd({"--data", server.DataDir(), "--data-port", "0", "--function-port", "0"});
  EXPECT_EQ(plain.status, 1);
  EXPECT_NE(plain.err.find("hashed passwords"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("--server-login"), std::string::npos) << plain.err;

  server.Restart({"--server-login"});
  const LoginAnswer anna = Login(server, kAnna, "demo");
  ASSERT_TRUE(anna.found);
  EXPECT_EQ(anna.record[23], "demo");
  EXPECT_FALSE(Login(server, kLukas, "wrong").found);
}

// On PostgreSQL, behind several servers: rehash-passwords and staff add work on the database
// named, which then holds no clear password and refuses a server without --server-login;
// failures counted by one server slow the logins at another.
TEST(ServerLoginTest, PostgresServersShareStaffAndFailures) {
  const std::string database = PostgresServer::Shared().CreateDatabase();
  {
    HospdProcess first({}, database);
    const CommandOutcome rehashed =
        RunHospd({"rehash-passwords", "--data", first.DataDir(), "--database", database});
    ASSERT_EQ(rehashed.status, 0) << rehashed.err;
    EXPECT_NE(rehashed.out.find("Hashed 5 passwords"), std::string::npos) << rehashed.out;
    const CommandOutcome plain = RunHospd({"--data", first.DataDir(), "--database", database,
                                           "--data-port", "0", "--function-port", "0"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.err.find("hashed passwords"), std::string::npos) << plain.err;

    first.Restart({"--server-login"});
    HospdProcess second({"--server-login"}, database, false);
    const CommandOutcome added =
        RunHospd({"staff", "add", "--data", first.DataDir(), "--database", database, "--email",
                  "eva.lang@hospital.example", "--first-name", "Eva", "--last-name", "Lang",
                  "--physician", "--password-stdin"},
                 "Kestrel-7 secret\n");
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_TRUE(Login(second, "eva.lang@hospital.example", "Kestrel-7 secret").found);
    PostgresProbe probe(database);
    EXPECT_EQ(probe.Value("SELECT count(*) FROM Personnel WHERE Password NOT LIKE '$scrypt$%'"),
              "0");

    for (int i = 0; i < 5; ++i) ASSERT_FALSE(Login(first, kAnna, "guess").found);
    const LoginAnswer sixth = Login(second, kAnna, "demo");
    EXPECT_TRUE(sixth.found);
    EXPECT_GE(sixth.seconds, 1.0);
  }
  PostgresServer::Shared().DropDatabase(database);
}

// Guessing against one store: one hospd on SQLite, or two sharing one PostgreSQL database
// (the connections then alternate between them).
class ServerLoginGuessTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    database_ = NewDatabase(GetParam());
    servers_.push_back(
        std::make_unique<HospdProcess>(std::vector<std::string>{"--server-login"}, database_));
    if (!database_.empty()) {
      servers_.push_back(std::make_unique<HospdProcess>(std::vector<std::string>{"--server-login"},
                                                        database_, false));
    }
  }
  void TearDown() override {
    servers_.clear();
    if (!database_.empty()) PostgresServer::Shared().DropDatabase(database_);
  }
  const HospdProcess& Server(std::size_t i) const { return *servers_[i % servers_.size()]; }

  std::string database_;
  std::vector<std::unique_ptr<HospdProcess>> servers_;
};

// Eight wrong guesses at one e-mail address sent at once on eight connections are answered
// no sooner than one after the other would be: the 6th after 1 s, the 7th 2 s and the 8th 4 s
// after the one before.
TEST_P(ServerLoginGuessTest, ParallelGuessesWaitAsSequentialOnesWould) {
  constexpr std::size_t kGuesses = 8;
  std::vector<std::unique_ptr<dbServerConnection>> connections;
  for (std::size_t i = 0; i < kGuesses; ++i) connections.push_back(OpenDataConnection(Server(i)));
  std::vector<double> answered(kGuesses);
  std::atomic<int> found = 0;
  const auto start = Clock::now();
  std::vector<std::thread> guesses;
  for (std::size_t i = 0; i < kGuesses; ++i) {
    guesses.emplace_back([&, i] {
      if (Login(*connections[i], kAnna, "guess").found) ++found;
      answered[i] = std::chrono::duration<double>(Clock::now() - start).count();
    });
  }
  for (std::thread& guess : guesses) guess.join();
  EXPECT_EQ(found, 0);
  std::sort(answered.begin(), answered.end());
  const std::vector<double> earliest{0, 0, 0, 0, 0, 1, 3, 7};
  for (std::size_t i = 0; i < kGuesses; ++i) {
    EXPECT_GE(answered[i], earliest[i] - 0.05) << "guess " << i + 1 << " of " << kGuesses;
  }
}

// While guesses from 127.0.0.2 keep an e-mail address throttled there, its owner logs in from
// 127.0.0.1 at once (well within the 4 s that the attacker's next guess waits).
TEST_P(ServerLoginGuessTest, OwnerLogsInWhileAnotherAddressGuesses) {
  const auto attacker = OpenFromOtherAddress(Server(0));
  for (int i = 0; i < 7; ++i) ASSERT_FALSE(Login(*attacker, kAnna, "guess").found);
  LoginAnswer eighth;
  std::thread guessing([&] { eighth = Login(*attacker, kAnna, "guess"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const LoginAnswer owner = Login(Server(1), kAnna, "demo");
  guessing.join();
  EXPECT_TRUE(owner.found);
  EXPECT_LT(owner.seconds, 2.0);
  EXPECT_FALSE(eighth.found);
  EXPECT_GE(eighth.seconds, 4.0);
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerLoginGuessTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);

}  // namespace
