// The storage layer on a real SQLite file and a real PostgreSQL database with the demo data.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>

#include "PostgresServer.h"
#include "SqliteProbe.h"
#include "StoreServers.h"
#include "store/DatabaseError.h"
#include "store/DemoData.h"
#include "store/postgres/PostgresStore.h"
#include "store/sqlite/SqliteStore.h"

namespace fs = std::filesystem;

namespace {

class HospitalStoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    if (GetParam() == StoreKind::Sqlite) {
      path_ = fs::temp_directory_path() / ("store-" + std::to_string(::getpid()) + ".db");
      fs::remove(path_);
    } else {
      url_ = NewDatabase(StoreKind::Postgres);
    }
    store_ = Open(true);
    store_->LoadDemo(MakeDemoRecords(std::time(nullptr)));
  }
  void TearDown() override {
    store_.reset();
    if (!url_.empty()) PostgresServer::Shared().DropDatabase(url_);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path_.string() + suffix);
  }

  std::unique_ptr<HospitalStore> Open(bool create = false) const {
    if (url_.empty()) return std::make_unique<SqliteStore>(path_.string(), 2, create);
    return std::make_unique<PostgresStore>(url_, 2);
  }
  std::unique_ptr<DbProbe> Probe() const {
    if (url_.empty()) return std::make_unique<SqliteProbe>(path_.string());
    return std::make_unique<PostgresProbe>(url_);
  }
  // Sets the stored schema version as an older or newer server would have left it.
  void SetSchemaVersion(int version) const {
    if (url_.empty()) {
      Probe()->Execute("PRAGMA user_version = " + std::to_string(version));
    } else {
      Probe()->Execute("UPDATE SchemaVersion SET Version = " + std::to_string(version));
    }
  }

  fs::path path_;
  std::string url_;
  std::unique_ptr<HospitalStore> store_;
};

}  // namespace

// Records come in the layout's order; a numeric key that is no number finds nothing.
TEST_P(HospitalStoreTest, RecordByKey) {
  const auto anna = store_->Record(PersonnelTable(), "ANNA.WEBER@hospital.example");
  ASSERT_TRUE(anna.has_value());
  ASSERT_EQ(anna->size(), 28u);
  EXPECT_EQ((*anna)[0], "anna.weber@hospital.example");
  EXPECT_EQ((*anna)[1], "1001");
  EXPECT_FALSE(store_->Record(CasesTable(), "5001x").has_value());
  EXPECT_FALSE(store_->Record(CasesTable(), "").has_value());
  EXPECT_EQ(store_->Record(CasesTable(), "5001")->at(1), "1001");
}

// An update with one unknown field writes nothing at all.
TEST_P(HospitalStoreTest, UnknownFieldRefusesTheWholeUpdate) {
  const auto result = store_->Update(CasesTable(), "5001", {{"f25", "Y"}, {"f77", "x"}});
  EXPECT_EQ(result.status, UpdateStatus::UnknownField);
  EXPECT_EQ(result.detail, "f77");
  EXPECT_EQ(store_->Record(CasesTable(), "5001")->at(9), "");
}

// A repeated approval changes nothing and leaves one audit row.
TEST_P(HospitalStoreTest, RepeatedApprovalChangesNothing) {
  EXPECT_TRUE(store_->Update(CasesTable(), "5001", {{"F25", "Y"}}).changed);
  const auto again = store_->Update(CasesTable(), "5001", {{"f25", "Y"}});
  EXPECT_EQ(again.status, UpdateStatus::Done);
  EXPECT_FALSE(again.changed);
  EXPECT_EQ(Probe()->Value("SELECT count(*) FROM Approvals WHERE CaseSeq = 5001"), "1");
}

// Open cases leave out approved ones (either letter case) and come by discharge date.
TEST_P(HospitalStoreTest, OpenCasesByDischargeDate) {
  Probe()->Execute("UPDATE Cases SET f25 = 'y' WHERE Seq = 5014");
  const auto cases = store_->OpenCases(1002);
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
  EXPECT_TRUE(store_->OpenCases(1004).empty());
}

// A database left at an older schema version (0: a file from before versions) is brought to
// the current one with its data; one with a newer version is refused.
TEST_P(HospitalStoreTest, SchemaVersionIsUpgradedOrRefused) {
  store_.reset();
  const auto probe = Probe();
  probe->Execute("DROP INDEX ApprovalsByCase");
  probe->Execute("DROP TABLE AuditTrail");
  probe->Execute("DROP TABLE AuditBacklog");
  SetSchemaVersion(GetParam() == StoreKind::Sqlite ? 0 : 1);
  store_ = Open();
  EXPECT_EQ(store_->Record(CasesTable(), "5001")->at(2), "Schneider");
  probe->Execute("DROP INDEX ApprovalsByCase");  // fails unless the upgrade made it again

  store_.reset();
  SetSchemaVersion(kSchemaVersion + 1);
  try {
    Open();
    ADD_FAILURE() << "a newer schema was accepted";
  } catch (const DatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("newer than this hospd knows"), std::string::npos)
        << error.what();
  }
}

// Demo data goes only into a database without staff.
TEST_P(HospitalStoreTest, DemoDataIsNotLoadedTwice) {
  EXPECT_THROW(store_->LoadDemo(MakeDemoRecords(std::time(nullptr))), DatabaseError);
  EXPECT_EQ(Probe()->Value("SELECT count(*) FROM Personnel"), "5");
}

INSTANTIATE_TEST_SUITE_P(Stores, HospitalStoreTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);

// Sessions that the database ended while they sat in the pool (as a restart or an
// administrator ends them) are replaced: the next questions and changes are answered as
// before, not failed and never "no such record".
TEST(PostgresStoreTest, EndedSessionsAreReplaced) {
  const std::string url = NewDatabase(StoreKind::Postgres);
  {
    PostgresStore store(url, 4);
    store.LoadDemo(MakeDemoRecords(std::time(nullptr)));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(store.Record(CasesTable(), "5001").has_value());
    PostgresProbe probe(url);
    // Ends the store's sessions and waits until they are gone, as after a restart.
    const auto end_sessions = [&probe] {
      const std::string others =
          "FROM pg_stat_activity WHERE datname = current_database() AND pid <> pg_backend_pid()";
      ASSERT_NE(probe.Value("SELECT count(pg_terminate_backend(pid)) " + others), "0");
      for (int i = 0; i < 500 && probe.Value("SELECT count(*) " + others) != "0"; ++i) {
        ::usleep(10000);
      }
    };
    end_sessions();
    EXPECT_EQ(store.Record(CasesTable(), "5001")->at(2), "Schneider");
    EXPECT_EQ(store.OpenCases(1001).size(), 12u);
    end_sessions();
    EXPECT_TRUE(store.Update(CasesTable(), "5001", {{"f25", "Y"}}).changed);
    EXPECT_EQ(probe.Value("SELECT count(*) FROM Approvals WHERE CaseSeq = 5001"), "1");
  }
  PostgresServer::Shared().DropDatabase(url);
}
