// The tables the data server answers for: record columns in answer order and writable fields.
#include "store/TableLayout.h"

#include "NameValueList.h"

const TableLayout& PersonnelTable() {
  // Positions 1, 10, 11, 13, 23 and 27 are the ones the client's login reads.
  static const TableLayout layout{
      "Personnel",
      "Email",
      false,
      {"Email",           "Seq",      "StaffNumber",   "Department",   "Ward",      "Phone",
       "Pager",           "Mobile",   "Office",        "JobTitle",     "Title",     "FirstName",
       "MiddleName",      "LastName", "NameSuffix",    "Gender",       "BirthDate", "Street",
       "PostalCode",      "City",     "LicenceNumber", "Specialty",    "StartDate", "Password",
       "PasswordChanged", "Active",   "Role",          "PhysicianMark"},
      {}};
  return layout;
}

const TableLayout& CasesTable() {
  static const TableLayout layout{
      "Cases",
      "Seq",
      true,
      {"Seq", "DoctorSeq", "pa10", "pa12", "pa14", "ho10", "f12", "f13", "f22", "f25", "f30"},
      {"pa10", "pa12", "pa14", "ho10", "f12", "f13", "f22", "f25", "f30"}};
  return layout;
}

const TableLayout* FindTable(std::string_view name) {
  for (const TableLayout* layout : {&PersonnelTable(), &CasesTable()}) {
    if (EqualsIgnoreCase(layout->name, name)) return layout;
  }
  return nullptr;
}

const std::vector<std::string_view>& CaseListFields() {
  // "Seq" keeps every field list non-empty: the JSON dialect reads an empty object back as null.
  static const std::vector<std::string_view> fields{"Seq", "pa10", "pa12", "pa14", "ho10",
                                                    "f12", "f13",  "f22",  "f25",  "f30"};
  return fields;
}

const std::vector<std::string_view>& NeedListFields() {
  static const std::vector<std::string_view> fields{"Seq", "pd12", "pc12", "pt11"};
  return fields;
}

std::string JoinColumns(const std::vector<std::string_view>& columns, std::string_view prefix) {
  std::string joined;
  for (const auto column : columns) {
    if (!joined.empty()) joined += ", ";
    joined += prefix;
    joined += column;
  }
  return joined;
}

std::string Placeholders(std::size_t count, const SqlDialect& dialect) {
  std::string text;
  for (std::size_t i = 1; i <= count; ++i) {
    text += (i == 1 ? "" : ", ") + std::string(dialect.mark) + std::to_string(i);
  }
  return text;
}
