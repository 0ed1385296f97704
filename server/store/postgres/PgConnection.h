// One PostgreSQL connection of the servers (libpq), with its settings and prepared statements.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

// The rows of one answer, every value as text.
class PgResult {
 public:
  explicit PgResult(pg_result* result);
  ~PgResult();
  PgResult(PgResult&& other) noexcept;
  PgResult& operator=(PgResult&&) = delete;
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;

  int Rows() const;
  int Columns() const;
  // A NULL value reads as empty text.
  std::string Text(int row, int column) const;
  bool IsNull(int row, int column) const;
  std::string ColumnName(int column) const;
  // Rows changed by an INSERT, UPDATE or DELETE.
  long Affected() const;

 private:
  pg_result* result_;
};

class PgConnection {
 public:
  // Connects with `conninfo` (a postgresql:// URL or key=value pairs) and sets the session
  // up: synchronous commits, and the client's 8-bit texts passed as LATIN1, which maps every
  // byte to a character and back. Throws DatabaseError with libpq's reason.
  static std::unique_ptr<PgConnection> Open(const std::string& conninfo);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs `sql` with $1... bound to `params` (text), prepared once per connection.
  // Throws DatabaseError; Broken() then tells whether the connection was lost.
  PgResult Query(std::string_view sql, const std::vector<std::string>& params = {});
  // Runs `sql` once without keeping it prepared.
  PgResult QueryOnce(const std::string& sql, const std::vector<std::string>& params = {});
  // Runs one or more statements without parameters. Throws DatabaseError.
  void Execute(const char* sql);

  // The connection to the server is gone; it will not come back.
  bool Broken() const;
  // Reads what the server sent while the connection was idle, without waiting: false when
  // the server has closed it (a restart or an administrator ends idle sessions that way).
  bool LooksAlive();
  // Database, host, port and user, for the log.
  std::string Description() const;

 private:
  explicit PgConnection(pg_conn* connection) : connection_(connection) {}
  PgResult Checked(pg_result* result);
  static void ReceiveNotice(void* self, const pg_result* notice);

  pg_conn* connection_;
  // The server announced that it ends this session (a message of severity FATAL or PANIC
  // that arrived while no request ran); its socket may still look open for a moment.
  bool ending_ = false;
  std::map<std::string, std::string, std::less<>> prepared_;  // SQL to statement name
};

// BEGIN on construction; ROLLBACK on destruction unless Commit() ran.
class PgTransaction {
 public:
  explicit PgTransaction(PgConnection& db, const char* begin = "BEGIN");
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;

  void Commit();

 private:
  PgConnection& db_;
  bool open_ = true;
};

// True for a --database value that names a PostgreSQL database: a postgresql:// or
// postgres:// URL, or libpq key=value pairs.
bool IsPostgresConninfo(std::string_view text);
