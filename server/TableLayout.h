// The tables the data server answers for: record columns in answer order and writable fields.
#pragma once

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
