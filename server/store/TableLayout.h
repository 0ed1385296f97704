// The tables the data server answers for: record columns in answer order and writable fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TableLayout {
  std::string_view name;        // as the client names it; matched without regard to case
  std::string_view key_column;  // the column a table query's "Key" is looked up in
  bool numeric_key;             // the key is an integer (a sequence)
  // The record's values go out in this order: the client reads them by position.
  std::vector<std::string_view> record_columns;
  // The fields a record update may set; "Seq" and the links between tables stay fixed.
  std::vector<std::string_view> updatable_columns;
};

// The layout of the named table, or nullptr for a table the server does not offer.
const TableLayout* FindTable(std::string_view name);

const TableLayout& PersonnelTable();
const TableLayout& CasesTable();

// The fields of a case and of a need that the function server lists, in this order.
const std::vector<std::string_view>& CaseListFields();
const std::vector<std::string_view>& NeedListFields();

// The names separated by ", ", each with `prefix`. Column names come only from the fixed
// layouts, never from a request, so they may be spliced into SQL.
std::string JoinColumns(const std::vector<std::string_view>& columns, std::string_view prefix = {});

// The two stores' SQL differs only in the parameter mark ("?1" or "$1") and in how it says
// "differs, nulls included".
struct SqlDialect {
  std::string_view mark;
  std::string_view differs;
};
inline constexpr SqlDialect kSqliteDialect{"?", " IS NOT "};
inline constexpr SqlDialect kPostgresDialect{"$", " IS DISTINCT FROM "};

// "M1, M2, ... Mcount" in the dialect's marks.
std::string Placeholders(std::size_t count, const SqlDialect& dialect);

// UPDATE with parameter 1 for the sequence and 2... for the values of `assignments` (pairs of
// column and value); rows that already hold every value are left alone, so that a repeated
// change changes nothing, and a concurrent one that waited for the row lock neither.
template <typename Assignments>
std::string UpdateSql(const TableLayout& table, const Assignments& assignments,
                      const SqlDialect& dialect) {
  const std::string mark(dialect.mark);
  std::string set;
  std::string differs;
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    const std::string column(assignments[i].first);
    const std::string param = mark + std::to_string(i + 2);
    set += (i == 0 ? "" : ", ") + column + " = " + param;
    differs += (i == 0 ? "" : " OR ") + column + std::string(dialect.differs) + param;
  }
  return "UPDATE " + std::string(table.name) + " SET " + set + " WHERE Seq = " + mark + "1 AND (" +
         differs + ")";
}
