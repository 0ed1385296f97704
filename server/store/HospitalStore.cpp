// The servers' questions and changes to the hospital database, whichever database holds it.
#include "store/HospitalStore.h"

#include <algorithm>
#include <charconv>

#include "NameValueList.h"
#include "audit/AuditSigner.h"
#include "store/DatabaseError.h"

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
                                   const FieldList& fields, const Approver& approver) {
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
  const auto changed = ApplyUpdate(table, *seq, assignments, approver);
  if (!changed) return {UpdateStatus::UnknownRecord, {}, false};
  return {UpdateStatus::Done, {}, *changed};
}

std::int64_t HospitalStore::StartAudit(AuditKey key, std::string server) {
  auto signer = std::make_shared<const AuditSigner>(std::move(key), std::move(server));
  const std::vector<AuditRecord> last = ReadAudit("ORDER BY Seq DESC LIMIT 1");
  if (!last.empty() && signer->Mac(last.front()) != last.front().mac) {
    throw DatabaseError("the audit trail's last record (" + std::to_string(last.front().seq) +
                        ") does not verify with this server's audit key: every server of one "
                        "database needs the same key (--audit-key); hospd audit verify tells "
                        "more");
  }
  const std::int64_t chained = AuditBacklog() > 0 ? ChainBacklog(*signer) : 0;
  signer_ = std::move(signer);
  return chained;
}

bool HospitalStore::Approves(const TableLayout& table, const Assignments& assignments) {
  if (&table != &CasesTable()) return false;
  return std::any_of(assignments.begin(), assignments.end(), [](const auto& assignment) {
    return assignment.first == "f25" && EqualsIgnoreCase(assignment.second, "Y");
  });
}

AuditRecord HospitalStore::ApprovalRecord(std::int64_t case_seq, std::int64_t approval_seq,
                                          const Approver& approver) const {
  AuditRecord record;
  record.recorded_at = UtcTimestamp();
  record.event = kApprovalEvent;
  record.case_seq = case_seq;
  record.approval_seq = approval_seq;
  record.staff = approver.staff;
  record.client_address = approver.address;
  record.server = signer_->Server();
  return record;
}

AuditRecord AuditRecordFrom(std::vector<std::string> values) {
  values.resize(kAuditColumnCount);
  AuditRecord record;
  record.seq = HospitalStore::ParseSeq(values[0]).value_or(0);
  record.recorded_at = std::move(values[1]);
  record.event = std::move(values[2]);
  record.case_seq = HospitalStore::ParseSeq(values[3]).value_or(0);
  record.approval_seq = HospitalStore::ParseSeq(values[4]).value_or(0);
  record.staff = std::move(values[5]);
  record.client_address = std::move(values[6]);
  record.server = std::move(values[7]);
  record.previous_mac = std::move(values[8]);
  record.mac = std::move(values[9]);
  return record;
}

std::vector<std::string> AuditValues(const AuditRecord& record) {
  return {std::to_string(record.seq),
          record.recorded_at,
          record.event,
          std::to_string(record.case_seq),
          std::to_string(record.approval_seq),
          record.staff,
          record.client_address,
          record.server,
          record.previous_mac,
          record.mac};
}
