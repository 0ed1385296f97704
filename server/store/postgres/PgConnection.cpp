// One PostgreSQL connection of the servers (libpq), with its settings and prepared statements.
#include "store/postgres/PgConnection.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cstdlib>

#include "store/DatabaseError.h"

namespace {

// libpq's messages span lines; the log takes one line per failure.
std::string Trimmed(const char* message) {
  std::string text;
  for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c) {
    if (*c != '\n' && *c != '\t') {
      text += *c;
    } else if (!text.empty() && text.back() != ' ') {
      text += ' ';
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? "unknown database failure" : text;
}

std::vector<const char*> Pointers(const std::vector<std::string>& params) {
  std::vector<const char*> pointers;
  for (const std::string& param : params) pointers.push_back(param.c_str());
  return pointers;
}

}  // namespace

PgResult::PgResult(pg_result* result) : result_(result) {}

PgResult::~PgResult() { PQclear(result_); }

PgResult::PgResult(PgResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }

int PgResult::Rows() const { return PQntuples(result_); }

int PgResult::Columns() const { return PQnfields(result_); }

std::string PgResult::Text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column),
                     static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

bool PgResult::IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }

std::string PgResult::ColumnName(int column) const { return PQfname(result_, column); }

long PgResult::Affected() const { return std::strtol(PQcmdTuples(result_), nullptr, 10); }

std::unique_ptr<PgConnection> PgConnection::Open(const std::string& conninfo) {
  // Defaults come before the caller's text, which overrides them; the client encoding comes
  // after it, as the servers rely on it. A dead database host is noticed within about 30 s
  // instead of the system's two hours.
  const char* keywords[] = {"connect_timeout",  "keepalives_idle",  "keepalives_interval",
                            "keepalives_count", "tcp_user_timeout", "fallback_application_name",
                            "dbname",           "client_encoding",  nullptr};
  const char* values[] = {"10",     "30",   "10", "3", "30000", "hospd", conninfo.c_str(),
                          "LATIN1", nullptr};
  pg_conn* raw = PQconnectdbParams(keywords, values, 1);
  if (raw == nullptr) throw DatabaseError("cannot connect to the database: out of memory");
  std::unique_ptr<PgConnection> connection(new PgConnection(raw));
  if (PQstatus(raw) != CONNECTION_OK) {
    throw DatabaseError("cannot connect to the database: " + Trimmed(PQerrorMessage(raw)));
  }
  // Instead of libpq's printing to standard error: the server's notices say nothing the log
  // needs, except that the session is being ended.
  PQsetNoticeReceiver(raw, &PgConnection::ReceiveNotice, connection.get());
  // Every answer goes out only after its change is durable, whatever the server's default.
  connection->Execute("SET synchronous_commit TO on");
  return connection;
}

PgConnection::~PgConnection() { PQfinish(connection_); }

PgResult PgConnection::Checked(pg_result* raw) {
  PgResult result(raw);
  const ExecStatusType status = PQresultStatus(raw);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw DatabaseError(
        Trimmed(raw != nullptr ? PQresultErrorMessage(raw) : PQerrorMessage(connection_)));
  }
  return result;
}

PgResult PgConnection::Query(std::string_view sql, const std::vector<std::string>& params) {
  auto found = prepared_.find(sql);
  if (found == prepared_.end()) {
    const std::string name = "hosp" + std::to_string(prepared_.size() + 1);
    const std::string text(sql);
    Checked(PQprepare(connection_, name.c_str(), text.c_str(), 0, nullptr));
    found = prepared_.emplace(text, name).first;
  }
  const auto pointers = Pointers(params);
  return Checked(PQexecPrepared(connection_, found->second.c_str(),
                                static_cast<int>(pointers.size()), pointers.data(), nullptr,
                                nullptr, 0));
}

PgResult PgConnection::QueryOnce(const std::string& sql, const std::vector<std::string>& params) {
  const auto pointers = Pointers(params);
  return Checked(PQexecParams(connection_, sql.c_str(), static_cast<int>(pointers.size()), nullptr,
                              pointers.data(), nullptr, nullptr, 0));
}

void PgConnection::Execute(const char* sql) { Checked(PQexec(connection_, sql)); }

void PgConnection::ReceiveNotice(void* self, const pg_result* notice) {
  const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity == nullptr) return;
  const std::string_view level(severity);
  if (level == "FATAL" || level == "PANIC") static_cast<PgConnection*>(self)->ending_ = true;
}

bool PgConnection::Broken() const { return ending_ || PQstatus(connection_) != CONNECTION_OK; }

bool PgConnection::LooksAlive() {
  // The server's farewell message and its closing of the socket may take two reads.
  for (int read = 0; read < 4; ++read) {
    pollfd socket{PQsocket(connection_), POLLIN, 0};
    if (socket.fd < 0) return false;
    if (::poll(&socket, 1, 0) == 0) return true;
    if (PQconsumeInput(connection_) == 0) return false;
    (void)PQisBusy(connection_);  // parses what came, so that a farewell reaches ReceiveNotice
    if (Broken()) return false;
  }
  return !Broken();
}

std::string PgConnection::Description() const {
  const char* host = PQhost(connection_);
  std::string text = "PostgreSQL database " + std::string(PQdb(connection_)) + " as " +
                     PQuser(connection_) + " on ";
  // A host name that begins with "/" is the folder of a local socket.
  text += host != nullptr && *host != '\0' ? host : "the local socket";
  return text + " port " + PQport(connection_);
}

PgTransaction::PgTransaction(PgConnection& db, const char* begin) : db_(db) { db_.Execute(begin); }

PgTransaction::~PgTransaction() {
  if (!open_) return;
  try {
    db_.Execute("ROLLBACK");
  } catch (const DatabaseError&) {
    // A lost connection has rolled back on the server already.
  }
}

void PgTransaction::Commit() {
  db_.Execute("COMMIT");
  open_ = false;
}

bool IsPostgresConninfo(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://") ||
         text.find('=') != std::string_view::npos;
}
