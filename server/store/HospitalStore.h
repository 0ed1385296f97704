// The servers' questions and changes to the hospital database, whichever database holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit/AuditRecord.h"
#include "login/FailureCounters.h"
#include "store/ConnectionPool.h"
#include "login/SessionTable.h"
#include "store/StaffDirectory.h"
#include "store/TableLayout.h"

struct DemoRecords;
class AuditKey;
class AuditSigner;

using FieldList = std::vector<std::pair<std::string, std::string>>;

struct NeedEntry {
  std::string seq;
  FieldList fields;  // NeedListFields(), empty values left out
};

struct CaseEntry {
  std::string seq;
  FieldList fields;  // CaseListFields(), empty values left out
  std::vector<NeedEntry> needs;
};

struct Physician {
  std::int64_t seq = 0;
  std::string display_name;  // title, first and last name
  bool is_physician = false;
};

enum class UpdateStatus { Done, UnknownRecord, UnknownField, NoFields };

struct UpdateResult {
  UpdateStatus status = UpdateStatus::Done;
  std::string detail;  // the unknown field's name
  bool changed = false;
};

// The schema version this server creates and upgrades to; a database with a newer one is
// refused, as an older server cannot know what the newer schema means.
constexpr int kSchemaVersion = 4;

// Shared by every connection thread; each call borrows a database connection of its own.
// Storage failures (a lost or unreachable database included) throw DatabaseError: a
// failed request never reads as "no such record".
class HospitalStore {
 public:
  virtual ~HospitalStore() = default;

  // The record's values in the layout's order, or nothing when no record has the key.
  std::optional<std::vector<std::string>> Record(const TableLayout& table, std::string_view key);

  // Sets fields of the record whose "Seq" is `seq`, committed before it returns. Fields that
  // already hold the value stay untouched, so a repeated approval changes nothing. Once the
  // audit has started, an approval ("f25" of a case becoming "Y") is entered in the audit
  // trail, naming `approver`, in the same transaction.
  UpdateResult Update(const TableLayout& table, std::string_view seq, const FieldList& fields,
                      const Approver& approver = {});

  // From now on every approval through Update is entered in the audit trail, signed with
  // `key` and naming `server`. First chains the approvals from before the trail (of a database
  // upgraded to schema version 3) and returns how many. Call it before the store is shared.
  // Throws DatabaseError, also when the trail's last record does not verify with `key`
  // (another server's key, or a changed record), so that no server extends it with a key
  // that would break it.
  std::int64_t StartAudit(AuditKey key, std::string server);
  // Every record of the audit trail, by Seq.
  std::vector<AuditRecord> AuditTrail() { return ReadAudit("ORDER BY Seq"); }
  // Approvals from before the trail that no server with the key has chained yet.
  virtual std::int64_t AuditBacklog() = 0;

  virtual std::optional<Physician> FindPhysician(std::int64_t seq) = 0;

  // The physician's cases whose "f25" is not "Y", by discharge date "f13" and "Seq", each
  // with its needs by "Seq", all from one snapshot.
  virtual std::vector<CaseEntry> OpenCases(std::int64_t doctor_seq) = 0;

  // Fills a database without staff with `records` in one transaction; refuses
  // (DatabaseError) when it holds staff already.
  virtual void LoadDemo(const DemoRecords& records) = 0;

  // Which database this is, for the log; never with a password.
  virtual std::string Description() const = 0;

  // The administrator's view of the staff, over a connection of its own (for one thread);
  // the store must outlive it.
  virtual std::unique_ptr<StaffDirectory> Staff() = 0;
  // Where the servers of this database count failed logins together, or nothing when each
  // server counts in its own memory.
  virtual std::unique_ptr<FailureCounters> SharedFailureCounters() { return nullptr; }
  // The database connections lent out and waited for, for monitoring.
  virtual PoolUsage Usage() const = 0;
  // Where the servers of this database keep their sessions together (the store must outlive
  // it), or nothing when each server keeps them in its own memory.
  virtual std::unique_ptr<SessionTable> SharedSessions() { return nullptr; }

  // A whole decimal number, or nothing for any other text.
  static std::optional<std::int64_t> ParseSeq(std::string_view text);

 protected:
  // A lookup key: the text as given, and its value for a numeric key column.
  struct RecordKey {
    std::string_view text;
    std::int64_t number = 0;
  };
  // Columns to set, in the layout's spelling, with their values.
  using Assignments = std::vector<std::pair<std::string_view, std::string_view>>;

  virtual std::optional<std::vector<std::string>> ReadRecord(const TableLayout& table,
                                                             const RecordKey& key) = 0;
  // Applies checked assignments to the record `seq` and commits, with the audit record of an
  // approval (see Approves) when Signer() is set; nothing when no record has that sequence,
  // otherwise whether a row changed.
  virtual std::optional<bool> ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                          const Assignments& assignments,
                                          const Approver& approver) = 0;

  // The audit records in the order `order` gives ("ORDER BY ...", with LIMIT), each column as
  // text.
  virtual std::vector<AuditRecord> ReadAudit(std::string_view order) = 0;
  // Appends a record for each approval in AuditBacklog (by their Seq) and empties it, in one
  // transaction under the trail's lock; returns how many.
  virtual std::int64_t ChainBacklog(const AuditSigner& signer) = 0;

  // The signer of approvals once StartAudit ran, or null.
  const AuditSigner* Signer() const { return signer_.get(); }
  // The assignments approve a case: they set "f25" of Cases to "Y" (either letter case), as the
  // trigger that writes Approvals sees it.
  static bool Approves(const TableLayout& table, const Assignments& assignments);
  // The record of an approval, to be chained after the trail's last one.
  AuditRecord ApprovalRecord(std::int64_t case_seq, std::int64_t approval_seq,
                             const Approver& approver) const;

  // The physician with the non-empty parts of the name (title, first, last) joined by blanks.
  static Physician MakePhysician(std::int64_t seq, const std::vector<std::string>& name_parts,
                                 bool is_physician);

 private:
  std::shared_ptr<const AuditSigner> signer_;
};

// The columns of AuditTrail in the order of AuditRecord's members.
inline constexpr std::string_view kAuditColumns =
    "Seq, RecordedAt, Event, CaseSeq, ApprovalSeq, Staff, ClientAddress, Server, PreviousMac, Mac";
inline constexpr std::size_t kAuditColumnCount = 10;

// A record of an AuditTrail row read in kAuditColumns order, and its values in that order.
AuditRecord AuditRecordFrom(std::vector<std::string> values);
std::vector<std::string> AuditValues(const AuditRecord& record);
