// The contents of hosp.db's tables at one moment, and what changed between two moments.
#include "DatabaseSnapshot.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <strings.h>

#include <memory>
#include <stdexcept>

namespace {

const char* const kTables[] = {"Personnel", "Cases", "Needs", "Approvals"};

struct CloseDatabase {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text == nullptr
             ? std::string("<NULL>")
             : std::string(reinterpret_cast<const char*>(text),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

std::string Describe(const std::vector<std::string>& row) {
  std::string text;
  for (const std::string& value : row) text += (text.empty() ? "" : "|") + value;
  return text;
}

// PostgreSQL reports the column names in lower case.
int ColumnIndex(const std::vector<std::string>& columns, const std::string& name) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (::strcasecmp(columns[i].c_str(), name.c_str()) == 0) return static_cast<int>(i);
  }
  throw std::runtime_error("no column " + name);
}

}  // namespace

DatabaseSnapshot DatabaseSnapshot::Read(const std::string& path) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, CloseDatabase> db(raw);
  if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + path);
  sqlite3_busy_timeout(db.get(), 5000);
  DatabaseSnapshot snapshot;
  for (const char* name : kTables) {
    sqlite3_stmt* prepared = nullptr;
    const std::string sql = std::string("SELECT * FROM ") + name + " ORDER BY 1";
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
    }
    std::unique_ptr<sqlite3_stmt, FinalizeStatement> statement(prepared);
    Table& table = snapshot.tables_[name];
    const int columns = sqlite3_column_count(statement.get());
    for (int c = 0; c < columns; ++c)
      table.columns.emplace_back(sqlite3_column_name(statement.get(), c));
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int c = 0; c < columns; ++c) row.push_back(ColumnText(statement.get(), c));
      table.rows[row.front()] = std::move(row);
    }
    if (step != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
  }
  return snapshot;
}

namespace {

struct FinishConnection {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ClearResult {
  void operator()(PGresult* result) const { PQclear(result); }
};

std::unique_ptr<PGresult, ClearResult> Exec(PGconn* connection, const std::string& sql) {
  std::unique_ptr<PGresult, ClearResult> result(PQexec(connection, sql.c_str()));
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
  }
  return result;
}

}  // namespace

DatabaseSnapshot DatabaseSnapshot::ReadPostgres(const std::string& conninfo) {
  const char* keywords[] = {"dbname", "client_encoding", "connect_timeout", nullptr};
  const char* values[] = {conninfo.c_str(), "LATIN1", "10", nullptr};
  std::unique_ptr<PGconn, FinishConnection> connection(PQconnectdbParams(keywords, values, 1));
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error(std::string("cannot open the database: ") +
                             PQerrorMessage(connection.get()));
  }
  Exec(connection.get(), "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  DatabaseSnapshot snapshot;
  for (const char* name : kTables) {
    const auto result =
        Exec(connection.get(), std::string("SELECT * FROM ") + name + " ORDER BY 1");
    Table& table = snapshot.tables_[name];
    for (int c = 0; c < PQnfields(result.get()); ++c)
      table.columns.emplace_back(PQfname(result.get(), c));
    for (int r = 0; r < PQntuples(result.get()); ++r) {
      std::vector<std::string> row;
      for (int c = 0; c < PQnfields(result.get()); ++c) {
        row.push_back(PQgetisnull(result.get(), r, c) != 0 ? "<NULL>"
                                                           : PQgetvalue(result.get(), r, c));
      }
      table.rows[row.front()] = std::move(row);
    }
  }
  Exec(connection.get(), "COMMIT");
  return snapshot;
}

std::vector<std::string> DatabaseSnapshot::Differences(
    const DatabaseSnapshot& before, const std::set<std::string>& approved,
    const std::set<std::string>& uncertain) const {
  std::vector<std::string> out;
  CompareUnchanged(before, "Personnel", out);
  CompareUnchanged(before, "Needs", out);
  CompareCases(before, approved, uncertain, out);
  CompareApprovals(before, approved, uncertain, out);
  return out;
}

void DatabaseSnapshot::CompareUnchanged(const DatabaseSnapshot& before, const std::string& name,
                                        std::vector<std::string>& out) const {
  if (tables_.at(name).rows != before.tables_.at(name).rows) out.push_back(name + " changed");
}

void DatabaseSnapshot::CompareCases(const DatabaseSnapshot& before,
                                    const std::set<std::string>& approved,
                                    const std::set<std::string>& uncertain,
                                    std::vector<std::string>& out) const {
  const Table& now = tables_.at("Cases");
  const Table& then = before.tables_.at("Cases");
  if (now.rows.size() != then.rows.size()) out.push_back("Cases gained or lost rows");
  const int f25 = ColumnIndex(now.columns, "f25");
  for (const auto& [seq, old_row] : then.rows) {
    const auto found = now.rows.find(seq);
    if (found == now.rows.end()) continue;
    std::vector<std::string> expected = old_row;
    if (approved.count(seq) != 0) {
      if (old_row[static_cast<std::size_t>(f25)] == "Y")
        out.push_back("case " + seq + " was approved before the run");
      expected[static_cast<std::size_t>(f25)] = "Y";
    } else if (uncertain.count(seq) != 0 && found->second[static_cast<std::size_t>(f25)] == "Y") {
      expected[static_cast<std::size_t>(f25)] = "Y";
    }
    if (found->second != expected) {
      out.push_back("case " + seq + " is " + Describe(found->second) + ", expected " +
                    Describe(expected));
    }
  }
  for (const std::string& seq : approved) {
    if (then.rows.count(seq) == 0)
      out.push_back("approved case " + seq + " is not in the database");
  }
}

// The old rows stay as they were; the new ones record each approved case exactly once.
void DatabaseSnapshot::CompareApprovals(const DatabaseSnapshot& before,
                                        const std::set<std::string>& approved,
                                        const std::set<std::string>& uncertain,
                                        std::vector<std::string>& out) const {
  const Table& now = tables_.at("Approvals");
  const Table& then = before.tables_.at("Approvals");
  const int case_seq = ColumnIndex(now.columns, "CaseSeq");
  std::map<std::string, int> recorded;
  for (const auto& [seq, row] : now.rows) {
    const auto old_row = then.rows.find(seq);
    if (old_row != then.rows.end()) {
      if (old_row->second != row) out.push_back("Approvals row " + seq + " changed");
      continue;
    }
    ++recorded[row[static_cast<std::size_t>(case_seq)]];
  }
  if (now.rows.size() < then.rows.size()) out.push_back("Approvals lost rows");
  for (const auto& [seq, count] : recorded) {
    if (approved.count(seq) == 0 && uncertain.count(seq) == 0) {
      out.push_back("case " + seq + " recorded as approved, but no client approved it");
    }
    if (count != 1) out.push_back("case " + seq + " recorded " + std::to_string(count) + " times");
  }
  for (const std::string& seq : approved) {
    if (recorded.count(seq) == 0) out.push_back("approval of case " + seq + " not recorded");
  }
}
