// Reads and changes a server's database directly, beside the running server, whichever
// database system holds it.
#include "DbProbe.h"

#include <libpq-fe.h>

#include <stdexcept>

std::string DbProbe::Value(const std::string& sql) {
  const auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

PostgresProbe::PostgresProbe(const std::string& url) {
  const char* keywords[] = {"dbname", "client_encoding", "connect_timeout", nullptr};
  const char* values[] = {url.c_str(), "LATIN1", "10", nullptr};
  connection_ = PQconnectdbParams(keywords, values, 1);
  if (PQstatus(connection_) != CONNECTION_OK) {
    const std::string error = PQerrorMessage(connection_);
    PQfinish(connection_);
    throw std::runtime_error("cannot open " + url + ": " + error);
  }
}

PostgresProbe::~PostgresProbe() { PQfinish(connection_); }

std::vector<std::vector<std::string>> PostgresProbe::Rows(const std::string& sql) {
  PGresult* result = PQexec(connection_, sql.c_str());
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    const std::string error = PQresultErrorMessage(result);
    PQclear(result);
    throw std::runtime_error(sql + ": " + error);
  }
  std::vector<std::vector<std::string>> rows;
  for (int row = 0; row < PQntuples(result); ++row) {
    std::vector<std::string> values;
    for (int column = 0; column < PQnfields(result); ++column) {
      values.emplace_back(PQgetvalue(result, row, column),
                          static_cast<std::size_t>(PQgetlength(result, row, column)));
    }
    rows.push_back(std::move(values));
  }
  PQclear(result);
  return rows;
}

void PostgresProbe::Execute(const std::string& sql) { Rows(sql); }
