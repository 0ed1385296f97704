// The servers' questions and changes to the hospital database, whichever database holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "login/FailureCounters.h"
#include "login/SessionTable.h"
#include "store/StaffDirectory.h"
#include "store/TableLayout.h"

struct DemoRecords;

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
constexpr int kSchemaVersion = 3;

// Shared by every connection thread; each call borrows a database connection of its own.
// Storage failures (a lost or unreachable database included) throw DatabaseError: a
// failed request never reads as "no such record".
class HospitalStore {
 public:
  virtual ~HospitalStore() = default;

  // The record's values in the layout's order, or nothing when no record has the key.
  std::optional<std::vector<std::string>> Record(const TableLayout& table, std::string_view key);

  // Sets fields of the record whose "Seq" is `seq`, committed before it returns. Fields that
  // already hold the value stay untouched, so a repeated approval changes nothing.
  UpdateResult Update(const TableLayout& table, std::string_view seq, const FieldList& fields);

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
  // Applies checked assignments to the record `seq` and commits; nothing when no record has
  // that sequence, otherwise whether a row changed.
  virtual std::optional<bool> ApplyUpdate(const TableLayout& table, std::int64_t seq,
                                          const Assignments& assignments) = 0;

  // The physician with the non-empty parts of the name (title, first, last) joined by blanks.
  static Physician MakePhysician(std::int64_t seq, const std::vector<std::string>& name_parts,
                                 bool is_physician);
};
