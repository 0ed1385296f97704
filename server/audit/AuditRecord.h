// One entry of the audit trail: an approval, who and what took it, and its place in the chain.
#pragma once

#include <cstdint>
#include <string>

// The columns of the AuditTrail table, one member each.
struct AuditRecord {
  std::int64_t seq = 0;     // place in the chain, from 1 on; not signed, so renumbering alone is
                            // no change, while every removal or insertion breaks a link
  std::string recorded_at;  // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ": when the trail took it in
  std::string event;        // kApprovalEvent or kEarlierApprovalEvent
  std::int64_t case_seq = 0;
  std::int64_t approval_seq = 0;  // the row of Approvals it stands for
  std::string staff;              // the approving member of staff; empty without sessions
  std::string client_address;
  std::string server;        // the server that took it (--server-name)
  std::string previous_mac;  // the MAC of the record before, hex; empty for the first
  std::string mac;           // HMAC-SHA256 over previous_mac and the content, hex
};

// An approval a server took from a client.
inline constexpr const char* kApprovalEvent = "approval";
// An approval made before the database had a trail, chained when a server with the key first
// started on the upgraded database: its time is that start, not the approval's.
inline constexpr const char* kEarlierApprovalEvent = "earlier approval";

// Who approved, as the data server knows it.
struct Approver {
  std::string staff;
  std::string address;
};
