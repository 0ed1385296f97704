// The servers' questions and changes to the hospital database, over one SQLite connection.
#include "HospitalStore.h"

#include <charconv>
#include <unordered_map>

#include "Database.h"
#include "NameValueList.h"

namespace {

// Column names come only from the fixed layouts, never from a request, so they may be spliced.
std::string JoinColumns(const std::vector<std::string_view>& columns,
                        std::string_view prefix = {}) {
  std::string joined;
  for (const auto column : columns) {
    if (!joined.empty()) joined += ", ";
    joined += prefix;
    joined += column;
  }
  return joined;
}

// Fields with an empty value are left out, as the client reads a missing field as empty.
FieldList ReadFields(const Statement& row, const std::vector<std::string_view>& names, int first) {
  FieldList fields;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string value = row.Text(first + static_cast<int>(i));
    if (!value.empty()) fields.emplace_back(std::string(names[i]), std::move(value));
  }
  return fields;
}

const std::string_view* FindColumn(const std::vector<std::string_view>& columns,
                                   std::string_view name) {
  for (const auto& column : columns) {
    if (EqualsIgnoreCase(column, name)) return &column;
  }
  return nullptr;
}

constexpr std::string_view kOpenCase = "upper(f25) IS NOT 'Y'";

using Assignments = std::vector<std::pair<std::string_view, std::string_view>>;

// The columns the fields name, in the layout's spelling; the last value of a repeated field
// wins. Nothing (with the name in `unknown`) when any field is not updatable, so that an
// unknown field refuses the whole update before anything is written.
std::optional<Assignments> ResolveAssignments(const TableLayout& table, const FieldList& fields,
                                              std::string& unknown) {
  Assignments assignments;
  for (const auto& [name, value] : fields) {
    const std::string_view* column = FindColumn(table.updatable_columns, name);
    if (column == nullptr) {
      unknown = name;
      return std::nullopt;
    }
    std::erase_if(assignments, [&](const auto& a) { return a.first == *column; });
    assignments.emplace_back(*column, value);
  }
  return assignments;
}

// UPDATE with ?1 for the sequence and ?2... for the values; rows that already hold every
// value are left alone, so that a repeated change changes nothing.
std::string UpdateSql(const TableLayout& table, const Assignments& assignments) {
  std::string set;
  std::string differs;
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    const std::string column(assignments[i].first);
    const std::string param = "?" + std::to_string(i + 2);
    set += (i == 0 ? "" : ", ") + column + " = " + param;
    differs += (i == 0 ? "" : " OR ") + column + " IS NOT " + param;
  }
  return "UPDATE " + std::string(table.name) + " SET " + set + " WHERE Seq = ?1 AND (" + differs +
         ")";
}

}  // namespace

std::optional<std::int64_t> HospitalStore::ParseSeq(std::string_view text) {
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<std::vector<std::string>> HospitalStore::Record(const TableLayout& table,
                                                              std::string_view key) {
  const std::string sql = "SELECT " + JoinColumns(table.record_columns) + " FROM " +
                          std::string(table.name) + " WHERE " + std::string(table.key_column) +
                          " = ?1 LIMIT 1";
  Cursor query = db_.Query(sql);
  if (table.numeric_key) {
    const auto seq = ParseSeq(key);
    if (!seq) return std::nullopt;
    query->Bind(1, *seq);
  } else {
    query->Bind(1, key);
  }
  if (!query->Step()) return std::nullopt;
  std::vector<std::string> values;
  for (std::size_t i = 0; i < table.record_columns.size(); ++i) {
    values.push_back(query->Text(static_cast<int>(i)));
  }
  return values;
}

UpdateResult HospitalStore::Update(const TableLayout& table, std::string_view seq_text,
                                   const FieldList& fields) {
  if (fields.empty()) return {UpdateStatus::NoFields, {}, false};
  std::string unknown;
  const auto assignments = ResolveAssignments(table, fields, unknown);
  if (!assignments) return {UpdateStatus::UnknownField, unknown, false};
  const auto seq = ParseSeq(seq_text);
  if (!seq) return {UpdateStatus::UnknownRecord, {}, false};

  Transaction transaction(db_, Transaction::Kind::Write);
  {
    Cursor exists = db_.Query("SELECT 1 FROM " + std::string(table.name) + " WHERE Seq = ?1");
    exists->Bind(1, *seq);
    if (!exists->Step()) return {UpdateStatus::UnknownRecord, {}, false};
  }
  // Not cached: the field sets a client may send are too many to keep a statement for each.
  const auto update = db_.Prepare(UpdateSql(table, *assignments));
  update->Bind(1, *seq);
  for (std::size_t i = 0; i < assignments->size(); ++i) {
    update->Bind(static_cast<int>(i + 2), (*assignments)[i].second);
  }
  update->Step();
  const bool changed = db_.Changes() > 0;
  transaction.Commit();
  return {UpdateStatus::Done, {}, changed};
}

std::optional<Physician> HospitalStore::FindPhysician(std::int64_t seq) {
  Cursor query = db_.Query(
      "SELECT Title, FirstName, LastName, upper(PhysicianMark) = 'Y' FROM Personnel WHERE Seq = "
      "?1");
  query->Bind(1, seq);
  if (!query->Step()) return std::nullopt;
  Physician physician;
  physician.seq = seq;
  for (int column = 0; column < 3; ++column) {
    const std::string part = query->Text(column);
    if (part.empty()) continue;
    if (!physician.display_name.empty()) physician.display_name += ' ';
    physician.display_name += part;
  }
  physician.is_physician = query->Int(3) != 0;
  return physician;
}

std::vector<CaseEntry> HospitalStore::OpenCases(std::int64_t doctor_seq) {
  // One read transaction: the cases and their needs come from the same snapshot.
  Transaction transaction(db_, Transaction::Kind::Read);
  std::vector<CaseEntry> cases = ReadOpenCases(doctor_seq);
  if (!cases.empty()) ReadNeeds(doctor_seq, cases);
  transaction.Commit();
  return cases;
}

std::vector<CaseEntry> HospitalStore::ReadOpenCases(std::int64_t doctor_seq) {
  Cursor query = db_.Query("SELECT " + JoinColumns(CaseListFields()) +
                           " FROM Cases WHERE DoctorSeq = ?1 AND " + std::string(kOpenCase) +
                           " ORDER BY f13, Seq");
  query->Bind(1, doctor_seq);
  std::vector<CaseEntry> cases;
  while (query->Step()) {
    cases.push_back({query->Text(0), ReadFields(*query, CaseListFields(), 0), {}});
  }
  return cases;
}

void HospitalStore::ReadNeeds(std::int64_t doctor_seq, std::vector<CaseEntry>& cases) {
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < cases.size(); ++i) index.emplace(cases[i].seq, i);
  Cursor query = db_.Query("SELECT n.CaseSeq, " + JoinColumns(NeedListFields(), "n.") +
                           " FROM Needs n JOIN Cases c ON c.Seq = n.CaseSeq"
                           " WHERE c.DoctorSeq = ?1 AND " +
                           std::string(kOpenCase) + " ORDER BY n.CaseSeq, n.Seq");
  query->Bind(1, doctor_seq);
  while (query->Step()) {
    const auto found = index.find(query->Text(0));
    if (found == index.end()) continue;
    cases[found->second].needs.push_back({query->Text(1), ReadFields(*query, NeedListFields(), 1)});
  }
}
