// Signs audit records into a chain: each MAC covers the previous record's MAC and the content.
#pragma once

#include <string>

#include "audit/AuditKey.h"
#include "audit/AuditRecord.h"

class AuditSigner {
 public:
  // `server` is how the records this signer makes name the server that took them.
  AuditSigner(AuditKey key, std::string server)
      : key_(std::move(key)), server_(std::move(server)) {}

  // The MAC `record` must carry: HMAC-SHA256 under the key over CanonicalContent(record),
  // as 64 lowercase hexadecimal digits.
  std::string Mac(const AuditRecord& record) const;
  // Makes `record` the one after `last` (nothing: the first): sets its Seq, previous MAC and MAC.
  void Chain(AuditRecord& record, const AuditRecord* last) const;

  const std::string& Server() const { return server_; }

 private:
  AuditKey key_;
  std::string server_;
};

// The bytes a record's MAC covers: a version tag, then the previous MAC and every content
// field but Seq, each as a 4-byte big-endian length and its bytes, so that no two different
// records share an encoding, whatever their fields hold.
std::string CanonicalContent(const AuditRecord& record);

// Now in UTC with milliseconds, as audit records hold it: "2026-12-07T20:28:45.123Z".
std::string UtcTimestamp();
