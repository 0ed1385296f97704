// A PostgreSQL server of the tests' own: a new cluster in a temporary folder, listening on
// 127.0.0.1 and a free port, run as an unprivileged user (PostgreSQL refuses root).
#include "PostgresServer.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "Loopback.h"
#include "TestFiles.h"

namespace fs = std::filesystem;

namespace {

const char* const kBinaries = "/usr/lib/postgresql/15/bin";

struct Account {
  uid_t uid;
  gid_t gid;
  std::string name;
};

// Root runs the server as "postgres" (the Debian package's own user) or else "nobody";
// anyone else runs it as themselves.
Account ServerAccount() {
  if (::geteuid() != 0) return {::geteuid(), ::getegid(), {}};
  for (const char* name : {"postgres", "nobody"}) {
    if (const passwd* entry = ::getpwnam(name)) return {entry->pw_uid, entry->pw_gid, name};
  }
  throw std::runtime_error("no unprivileged user (postgres or nobody) to run PostgreSQL as");
}

// Runs a PostgreSQL program as the server's account with its output appended to `log`;
// returns its exit status.
int RunAs(const Account& account, const std::vector<std::string>& arguments,
          const std::string& log) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    if (!account.name.empty() && (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
                                  ::setuid(account.uid) != 0)) {
      ::_exit(126);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Binary(const char* name) { return std::string(kBinaries) + "/" + name; }

}  // namespace

PostgresServer::PostgresServer() : folder_(MakeTempFolder("hosp-pg").string()) {
  try {
    Create();
    StartOnFreePort();
    Admin("CREATE ROLE hosp LOGIN");
  } catch (...) {
    if (running_) Stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    throw;
  }
}

PostgresServer::PostgresServer(Attached, std::string folder, int port)
    : folder_(std::move(folder)), running_(true), keep_(true), port_(port) {}

PostgresServer::~PostgresServer() {
  if (keep_) return;
  if (running_) {
    try {
      Stop();
    } catch (const std::exception&) {
      // The folder goes anyway; a server left behind has lost its files.
    }
  }
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::string PostgresServer::FixtureRecord() {
  const char* build = std::getenv("HOSP_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/postgres-fixture";
}

PostgresServer& PostgresServer::Shared() {
  static const std::unique_ptr<PostgresServer> shared = [] {
    std::string folder;
    int port = 0;
    std::istringstream(ReadBytes(FixtureRecord())) >> folder >> port;
    if (port > 0) {
      std::unique_ptr<PostgresServer> fixture(new PostgresServer(Attached{}, folder, port));
      try {
        fixture->Admin("SELECT 1");
        return fixture;
      } catch (const std::runtime_error&) {
        // A record left by an earlier run: this process starts its own server instead.
      }
    }
    return std::make_unique<PostgresServer>();
  }();
  return *shared;
}

void PostgresServer::KeepAs(const std::string& record) {
  std::ofstream(record) << folder_ << " " << port_ << "\n";
  keep_ = true;
}

void PostgresServer::StopRecorded(const std::string& record) {
  std::string folder;
  int port = 0;
  std::istringstream(ReadBytes(record)) >> folder >> port;
  std::error_code ignored;
  fs::remove(record, ignored);
  if (folder.empty() || !fs::exists(folder + "/db/postmaster.pid")) return;
  RunAs(ServerAccount(),
        {Binary("pg_ctl"), "-D", folder + "/db", "-w", "-t", "60", "-m", "fast", "stop"},
        "/dev/null");
  fs::remove_all(folder, ignored);
}

void PostgresServer::Create() {
  const Account account = ServerAccount();
  if (!account.name.empty() && ::chown(folder_.c_str(), account.uid, account.gid) != 0) {
    throw std::runtime_error("cannot hand " + folder_ + " to " + account.name);
  }
  const std::string log = folder_ + "/initdb.log";
  // No sync: a test cluster need not survive a power cut, only a crash of the server.
  const int status = RunAs(account,
                           {Binary("initdb"), "-D", folder_ + "/db", "-U", "postgres", "-A",
                            "trust", "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"},
                           log);
  if (status != 0) {
    throw std::runtime_error("initdb failed (status " + std::to_string(status) + ", " +
                             "is the Debian package postgresql installed?): " + ReadBytes(log));
  }
}

void PostgresServer::StartOnFreePort() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreeLoopbackPort();
    if (TryStart()) {
      return;
    }
  }
  throw std::runtime_error("PostgreSQL did not start: " + ReadBytes(folder_ + "/server.log"));
}

void PostgresServer::Start() {
  if (!TryStart()) {
    throw std::runtime_error("PostgreSQL did not start again: " +
                             ReadBytes(folder_ + "/server.log"));
  }
}

// The server's default leaves commits unsynchronised, so that a server that did not ask for
// synchronous commits itself loses confirmed ones when the database crashes. Without fsync:
// such a crash is of the process, not of the machine, and the disk is shared and busy.
bool PostgresServer::TryStart() {
  const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " +
                              folder_ + " -c synchronous_commit=off -c fsync=off";
  const int status = RunAs(ServerAccount(),
                           {Binary("pg_ctl"), "-D", folder_ + "/db", "-l", folder_ + "/server.log",
                            "-w", "-t", "60", "-o", options, "start"},
                           folder_ + "/pg_ctl.log");
  running_ = status == 0;
  return running_;
}

void PostgresServer::Stop(bool crash) {
  const int status = RunAs(ServerAccount(),
                           {Binary("pg_ctl"), "-D", folder_ + "/db", "-w", "-t", "60", "-m",
                            crash ? "immediate" : "fast", "stop"},
                           folder_ + "/pg_ctl.log");
  running_ = false;
  if (status != 0)
    throw std::runtime_error("pg_ctl stop failed: " + ReadBytes(folder_ + "/pg_ctl.log"));
}

std::string PostgresServer::Url(const std::string& database) const {
  return "postgresql://hosp@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::CreateDatabase() {
  const std::string name =
      "hosp_" + std::to_string(::getpid()) + "_" + std::to_string(++next_database_);
  Admin("CREATE DATABASE " + name + " OWNER hosp");
  return Url(name);
}

void PostgresServer::DropDatabase(const std::string& url) {
  Admin("DROP DATABASE IF EXISTS " + url.substr(url.rfind('/') + 1) + " WITH (FORCE)");
}

void PostgresServer::Admin(const std::string& sql) const {
  const std::string conninfo = "host=127.0.0.1 port=" + std::to_string(port_) +
                               " user=postgres dbname=postgres connect_timeout=10";
  PGconn* connection = PQconnectdb(conninfo.c_str());
  std::string error;
  if (PQstatus(connection) != CONNECTION_OK) {
    error = PQerrorMessage(connection);
  } else {
    PGresult* result = PQexec(connection, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      error = PQresultErrorMessage(result);
    PQclear(result);
  }
  PQfinish(connection);
  if (!error.empty()) throw std::runtime_error(sql + ": " + error);
}
