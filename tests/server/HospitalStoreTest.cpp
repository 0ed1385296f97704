// The storage layer on a real SQLite file with the demo data.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>

#include "Database.h"
#include "DemoData.h"
#include "HospitalStore.h"
#include "Schema.h"
#include "SqliteProbe.h"

namespace fs = std::filesystem;

namespace {

class HospitalStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / ("store-" + std::to_string(::getpid()) + ".db");
    fs::remove(path_);
    db_ = Database::Open(path_.string(), true);
    CreateSchema(*db_);
    LoadDemoData(*db_, std::time(nullptr));
  }
  void TearDown() override {
    db_.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path_.string() + suffix);
  }

  fs::path path_;
  std::unique_ptr<Database> db_;
};

}  // namespace

// Records come in the layout's order; a numeric key that is no number finds nothing.
TEST_F(HospitalStoreTest, RecordByKey) {
  HospitalStore store(*db_);
  const auto anna = store.Record(PersonnelTable(), "ANNA.WEBER@hospital.example");
  ASSERT_TRUE(anna.has_value());
  ASSERT_EQ(anna->size(), 28u);
  EXPECT_EQ((*anna)[0], "anna.weber@hospital.example");
  EXPECT_EQ((*anna)[1], "1001");
  EXPECT_FALSE(store.Record(CasesTable(), "5001x").has_value());
  EXPECT_FALSE(store.Record(CasesTable(), "").has_value());
  EXPECT_EQ(store.Record(CasesTable(), "5001")->at(1), "1001");
}

// An update with one unknown field writes nothing at all.
TEST_F(HospitalStoreTest, UnknownFieldRefusesTheWholeUpdate) {
  HospitalStore store(*db_);
  const auto result = store.Update(CasesTable(), "5001", {{"f25", "Y"}, {"f77", "x"}});
  EXPECT_EQ(result.status, UpdateStatus::UnknownField);
  EXPECT_EQ(result.detail, "f77");
  EXPECT_EQ(store.Record(CasesTable(), "5001")->at(9), "");
}

// A repeated approval changes nothing and leaves one audit row.
TEST_F(HospitalStoreTest, RepeatedApprovalChangesNothing) {
  HospitalStore store(*db_);
  EXPECT_TRUE(store.Update(CasesTable(), "5001", {{"F25", "Y"}}).changed);
  const auto again = store.Update(CasesTable(), "5001", {{"f25", "Y"}});
  EXPECT_EQ(again.status, UpdateStatus::Done);
  EXPECT_FALSE(again.changed);
  SqliteProbe probe(path_.string());
  EXPECT_EQ(probe.Value("SELECT count(*) FROM Approvals WHERE CaseSeq = 5001"), "1");
}

// Open cases leave out approved ones (either letter case) and come by discharge date.
TEST_F(HospitalStoreTest, OpenCasesByDischargeDate) {
  SqliteProbe probe(path_.string());
  probe.Execute("UPDATE Cases SET f25 = 'y' WHERE Seq = 5014");
  HospitalStore store(*db_);
  const auto cases = store.OpenCases(1002);
  ASSERT_EQ(cases.size(), 7u);
  std::string previous;
  for (const auto& entry : cases) {
    EXPECT_NE(entry.seq, "5014");
    const auto f13 = std::find_if(entry.fields.begin(), entry.fields.end(),
                                  [](const auto& field) { return field.first == "f13"; });
    ASSERT_NE(f13, entry.fields.end());
    EXPECT_LE(previous, f13->second);
    previous = f13->second;
  }
  EXPECT_TRUE(store.OpenCases(1004).empty());
}
