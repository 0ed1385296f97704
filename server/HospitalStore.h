// The servers' questions and changes to the hospital database, over one SQLite connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TableLayout.h"

class Database;

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

// Storage failures throw DatabaseError.
class HospitalStore {
 public:
  explicit HospitalStore(Database& db) : db_(db) {}

  // The record's values in the layout's order, or nothing when no record has the key.
  std::optional<std::vector<std::string>> Record(const TableLayout& table, std::string_view key);

  // Sets fields of the record whose "Seq" is `seq`, committed before it returns. Fields that
  // already hold the value stay untouched, so a repeated approval changes nothing.
  UpdateResult Update(const TableLayout& table, std::string_view seq, const FieldList& fields);

  std::optional<Physician> FindPhysician(std::int64_t seq);

  // The physician's cases whose "f25" is not "Y", by discharge date "f13", each with its needs.
  std::vector<CaseEntry> OpenCases(std::int64_t doctor_seq);

  // A whole decimal number, or nothing for any other text.
  static std::optional<std::int64_t> ParseSeq(std::string_view text);

 private:
  std::vector<CaseEntry> ReadOpenCases(std::int64_t doctor_seq);
  void ReadNeeds(std::int64_t doctor_seq, std::vector<CaseEntry>& cases);

  Database& db_;
};
