// Checks an audit trail against its key and, optionally, a head kept elsewhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit/AuditRecord.h"
#include "audit/AuditSigner.h"

// How long the trail was and how it ended, for the hospital to keep apart from the database.
struct AuditHead {
  std::int64_t count = 0;
  std::string mac;  // of the last record; empty for an empty trail
};

// "COUNT:MAC", the text `hospd audit head` prints and `--head` takes.
std::string FormatHead(const AuditHead& head);
// Nothing for a text that is no head.
std::optional<AuditHead> ParseHead(std::string_view text);

struct AuditVerdict {
  bool whole = false;
  std::string problem;  // the first record changed, removed or inserted; empty when whole
  AuditHead head;       // of the records as read
};

// Walks `records` (in Seq order) from the first on. A record whose MAC does not match its
// content was changed, or inserted when the record after it links to the one before it; a
// record that matches but does not link to the one before it follows removed records, or is
// a copy. With `head`, a trail with fewer records than the head, or another MAC at the head's
// place, fails too, so that a cut-off tail is found.
AuditVerdict VerifyAuditTrail(const AuditSigner& signer, const std::vector<AuditRecord>& records,
                              const std::optional<AuditHead>& head);
