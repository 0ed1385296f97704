// The contents of hosp.db's tables at one moment, and what changed between two moments.
#include "DatabaseSnapshot.h"

#include <sqlite3.h>

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
  return text == nullptr ? std::string("<NULL>")
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

std::string Describe(const std::vector<std::string>& row) {
  std::string text;
  for (const std::string& value : row) text += (text.empty() ? "" : "|") + value;
  return text;
}

int ColumnIndex(const std::vector<std::string>& columns, const std::string& name) {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i] == name) return static_cast<int>(i);
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
    for (int c = 0; c < columns; ++c) table.columns.emplace_back(sqlite3_column_name(statement.get(), c));
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

std::vector<std::string> DatabaseSnapshot::Differences(const DatabaseSnapshot& before,
                                                       const std::set<std::string>& approved) const {
  std::vector<std::string> out;
  CompareUnchanged(before, "Personnel", out);
  CompareUnchanged(before, "Needs", out);
  CompareCases(before, approved, out);
  CompareApprovals(before, approved, out);
  return out;
}

void DatabaseSnapshot::CompareUnchanged(const DatabaseSnapshot& before, const std::string& name,
                                        std::vector<std::string>& out) const {
  if (tables_.at(name).rows != before.tables_.at(name).rows) out.push_back(name + " changed");
}

void DatabaseSnapshot::CompareCases(const DatabaseSnapshot& before,
                                    const std::set<std::string>& approved,
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
      if (old_row[static_cast<std::size_t>(f25)] == "Y") out.push_back("case " + seq + " was approved before the run");
      expected[static_cast<std::size_t>(f25)] = "Y";
    }
    if (found->second != expected) {
      out.push_back("case " + seq + " is " + Describe(found->second) + ", expected " + Describe(expected));
    }
  }
  for (const std::string& seq : approved) {
    if (then.rows.count(seq) == 0) out.push_back("approved case " + seq + " is not in the database");
  }
}

// The old rows stay as they were; the new ones record each approved case exactly once.
void DatabaseSnapshot::CompareApprovals(const DatabaseSnapshot& before,
                                        const std::set<std::string>& approved,
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
    if (approved.count(seq) == 0) out.push_back("case " + seq + " recorded as approved, but no client approved it");
    if (count != 1) out.push_back("case " + seq + " recorded " + std::to_string(count) + " times");
  }
  for (const std::string& seq : approved) {
    if (recorded.count(seq) == 0) out.push_back("approval of case " + seq + " not recorded");
  }
}
