// The contents of hosp.db's tables at one moment, and what changed between two moments.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

class DatabaseSnapshot {
 public:
  // Reads every table the servers use from a hosp.db, read-only; throws std::runtime_error.
  static DatabaseSnapshot Read(const std::string& path);
  // The same from a PostgreSQL database (URL or key=value text), in one snapshot.
  static DatabaseSnapshot ReadPostgres(const std::string& conninfo);

  // Every change since `before` other than the approval of exactly the `approved` cases:
  // "f25" set to "Y" where it was not, and one new "Approvals" row each. The `uncertain`
  // cases (approvals whose answer was lost) may be approved so or left as they were. Empty
  // when the database holds exactly that.
  std::vector<std::string> Differences(const DatabaseSnapshot& before,
                                       const std::set<std::string>& approved,
                                       const std::set<std::string>& uncertain = {}) const;

 private:
  struct Table {
    std::vector<std::string> columns;
    std::map<std::string, std::vector<std::string>> rows;  // by the first column, "Seq"
  };

  void CompareUnchanged(const DatabaseSnapshot& before, const std::string& name,
                        std::vector<std::string>& out) const;
  void CompareCases(const DatabaseSnapshot& before, const std::set<std::string>& approved,
                    const std::set<std::string>& uncertain, std::vector<std::string>& out) const;
  void CompareApprovals(const DatabaseSnapshot& before, const std::set<std::string>& approved,
                        const std::set<std::string>& uncertain,
                        std::vector<std::string>& out) const;

  std::map<std::string, Table> tables_;
};
