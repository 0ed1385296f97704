// A PostgreSQL server of the tests' own: a new cluster in a temporary folder, listening on
// 127.0.0.1 and a free port, run as an unprivileged user (PostgreSQL refuses root).
#pragma once

#include <memory>
#include <string>

class PostgresServer {
 public:
  // Creates the cluster (initdb) in a new temporary folder and starts it (pg_ctl); throws
  // std::runtime_error with the reason when it cannot. The destructor stops the server and
  // removes the folder.
  PostgresServer();
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // The server of the ctest fixture when it runs, otherwise one started for this process
  // and stopped when it exits. Throws std::runtime_error.
  static PostgresServer& Shared();
  // Where the fixture's server is recorded ("FOLDER PORT"): $HOSP_BUILD_DIR/postgres-fixture.
  static std::string FixtureRecord();
  // Leaves the server running and its folder in place, recorded in `record`, after this
  // object ends.
  void KeepAs(const std::string& record);
  // Stops the server that `record` names and removes its folder and the record; quiet when
  // there is none.
  static void StopRecorded(const std::string& record);

  int Port() const { return port_; }
  // A new empty database owned by the role "hosp" (no superuser, as an installation's
  // server would run), and its postgresql:// URL.
  std::string CreateDatabase();
  // Removes a database that CreateDatabase made, ending its sessions.
  void DropDatabase(const std::string& url);
  // The URL of `database` for the role "hosp".
  std::string Url(const std::string& database) const;

  // Stops the server: at once, as a crash would (`crash`), or after ending the sessions.
  void Stop(bool crash = false);
  // Starts it again on the same port.
  void Start();

 private:
  struct Attached {};
  PostgresServer(Attached, std::string folder, int port);
  void Create();
  void StartOnFreePort();
  bool TryStart();
  void Admin(const std::string& sql) const;

  std::string folder_;
  bool running_ = false;
  bool keep_ = false;
  int port_ = 0;
  int next_database_ = 0;
};
