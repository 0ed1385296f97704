// The servers' questions and changes to the hospital database, whichever database holds it.
#include "store/HospitalStore.h"

#include <algorithm>
#include <charconv>

#include "NameValueList.h"

namespace {

const std::string_view* FindColumn(const std::vector<std::string_view>& columns,
                                   std::string_view name) {
  for (const auto& column : columns) {
    if (EqualsIgnoreCase(column, name)) return &column;
  }
  return nullptr;
}

}  // namespace

std::optional<std::int64_t> HospitalStore::ParseSeq(std::string_view text) {
  std::int64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

Physician HospitalStore::MakePhysician(std::int64_t seq, const std::vector<std::string>& name_parts,
                                       bool is_physician) {
  Physician physician;
  physician.seq = seq;
  for (const std::string& part : name_parts) {
    if (part.empty()) continue;
    if (!physician.display_name.empty()) physician.display_name += ' ';
    physician.display_name += part;
  }
  physician.is_physician = is_physician;
  return physician;
}

std::optional<std::vector<std::string>> HospitalStore::Record(const TableLayout& table,
                                                              std::string_view key) {
  RecordKey record_key{key};
  if (table.numeric_key) {
    const auto seq = ParseSeq(key);
    if (!seq) return std::nullopt;
    record_key.number = *seq;
  }
  return ReadRecord(table, record_key);
}

// The checks come before any database work and are the same for every store, so that both
// refuse the same updates with the same answers.
UpdateResult HospitalStore::Update(const TableLayout& table, std::string_view seq_text,
                                   const FieldList& fields) {
  if (fields.empty()) return {UpdateStatus::NoFields, {}, false};
  // The last value of a repeated field wins; one field that is not updatable refuses the
  // whole update before anything is written.
  Assignments assignments;
  for (const auto& [name, value] : fields) {
    const std::string_view* column = FindColumn(table.updatable_columns, name);
    if (column == nullptr) return {UpdateStatus::UnknownField, name, false};
    std::erase_if(assignments, [&](const auto& a) { return a.first == *column; });
    assignments.emplace_back(*column, value);
  }
  const auto seq = ParseSeq(seq_text);
  if (!seq) return {UpdateStatus::UnknownRecord, {}, false};
  const auto changed = ApplyUpdate(table, *seq, assignments);
  if (!changed) return {UpdateStatus::UnknownRecord, {}, false};
  return {UpdateStatus::Done, {}, *changed};
}
