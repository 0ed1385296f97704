// Checks an audit trail against its key and, optionally, a head kept elsewhere.
#include "audit/AuditVerifier.h"

#include <charconv>
#include <map>

namespace {

std::string Name(const AuditRecord& record) { return "record " + std::to_string(record.seq); }

// What is wrong at records[i], the first that does not follow from the ones before it.
std::string Diagnose(const AuditSigner& signer, const std::vector<AuditRecord>& records,
                     std::size_t i, const std::string& expected_previous,
                     const std::map<std::string, std::int64_t>& seen) {
  const AuditRecord& record = records[i];
  if (signer.Mac(record) == record.mac) {
    if (const auto copy = seen.find(record.mac); copy != seen.end()) {
      return Name(record) + " was inserted: it repeats record " + std::to_string(copy->second);
    }
    if (i == 0) return "the records before " + Name(record) + " were removed";
    return "a record between " + Name(records[i - 1]) + " and " + Name(record) + " was removed";
  }
  if (i + 1 == records.size()) return Name(record) + " was changed or added";
  const AuditRecord& next = records[i + 1];
  if (next.previous_mac == expected_previous && signer.Mac(next) == next.mac) {
    return Name(record) + " was inserted";
  }
  return Name(record) + " was changed";
}

}  // namespace

std::string FormatHead(const AuditHead& head) {
  return std::to_string(head.count) + ":" + head.mac;
}

std::optional<AuditHead> ParseHead(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  AuditHead head;
  const char* end = text.data() + colon;
  const auto [stop, error] = std::from_chars(text.data(), end, head.count);
  if (colon == 0 || error != std::errc() || stop != end || head.count < 0) return std::nullopt;
  head.mac = std::string(text.substr(colon + 1));
  if (head.mac.size() != (head.count == 0 ? 0u : 64u)) return std::nullopt;
  return head;
}

AuditVerdict VerifyAuditTrail(const AuditSigner& signer, const std::vector<AuditRecord>& records,
                              const std::optional<AuditHead>& head) {
  AuditVerdict verdict;
  verdict.head.count = static_cast<std::int64_t>(records.size());
  if (!records.empty()) verdict.head.mac = records.back().mac;
  std::string expected_previous;
  std::map<std::string, std::int64_t> seen;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const AuditRecord& record = records[i];
    if (record.previous_mac != expected_previous || signer.Mac(record) != record.mac) {
      verdict.problem = Diagnose(signer, records, i, expected_previous, seen);
      return verdict;
    }
    seen.emplace(record.mac, record.seq);
    expected_previous = record.mac;
  }
  if (head && head->count > verdict.head.count) {
    verdict.problem = "the trail has " + std::to_string(verdict.head.count) +
                      " records, fewer than the " + std::to_string(head->count) +
                      " of the head: records at its end were removed";
    return verdict;
  }
  if (head && head->count > 0 &&
      records[static_cast<std::size_t>(head->count - 1)].mac != head->mac) {
    verdict.problem = Name(records[static_cast<std::size_t>(head->count - 1)]) +
                      " differs from the head's: the trail is not the one the head was taken of";
    return verdict;
  }
  verdict.whole = true;
  return verdict;
}
