// The audit trail through the real hospd on both stores: approvals recorded and chained,
// tampering found by hospd audit verify, the approvals of an upgraded database chained.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "PostgresServer.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"

namespace {

// `hospd audit COMMAND` on the server's data folder and database, with `more` arguments.
CommandOutcome Audit(const HospdProcess& server, const std::string& command,
                     std::vector<std::string> more = {}) {
  std::vector<std::string> arguments{"audit", command, "--data", server.DataDir()};
  if (!server.Database().empty())
    arguments.insert(arguments.end(), {"--database", server.Database()});
  arguments.insert(arguments.end(), more.begin(), more.end());
  return RunHospd(arguments);
}

void Approve(const HospdProcess& server, const std::vector<std::string>& cases) {
  const auto data = OpenDataConnection(server);
  for (const std::string& seq : cases) {
    EXPECT_TRUE(data->UpdateRecord("Cases", seq, Fields("f25=Y"))) << seq;
  }
}

// Leaves the data folder and database as a server of schema version 2 would have: no trail,
// no audit key.
void MakeVersion2(const HospdProcess& server) {
  std::filesystem::remove(server.DataDir() + "/audit.key");
  const auto db = OpenProbe(server);
  db->Execute("DROP TABLE AuditTrail");
  db->Execute("DROP TABLE AuditBacklog");
  db->Execute(server.Database().empty() ? "PRAGMA user_version = 2"
                                        : "UPDATE SchemaVersion SET Version = 2");
}

class AuditTrailTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void TearDown() override {
    if (!database_.empty()) PostgresServer::Shared().DropDatabase(database_);
  }
  std::string Database() { return database_ = NewDatabase(GetParam()); }

  std::string database_;
};

}  // namespace

// An approval through the client's connection is recorded once, with its case, Approvals row,
// client address, server name and UTC time; the trail verifies and its head is the last MAC.
TEST_P(AuditTrailTest, ApprovalsThroughTheClientAreRecorded) {
  HospdProcess server({"--server-name", "ward-3"}, Database());
  Approve(server, {"5001", "5001", "5002"});
  const auto db = OpenProbe(server);
  const auto rows = db->Rows(
      "SELECT t.CaseSeq, t.Event, t.Staff, t.ClientAddress, t.Server, t.RecordedAt, "
      "t.ApprovalSeq = a.Seq, t.Mac FROM AuditTrail t JOIN Approvals a ON a.CaseSeq = t.CaseSeq "
      "ORDER BY t.Seq");
  ASSERT_EQ(rows.size(), 2u);
  const std::regex utc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], i == 0 ? "5001" : "5002");
    EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 1, rows[i].begin() + 5),
              (std::vector<std::string>{"approval", "", "127.0.0.1", "ward-3"}));
    EXPECT_TRUE(std::regex_match(rows[i][5], utc)) << rows[i][5];
    EXPECT_TRUE(rows[i][6] == "1" || rows[i][6] == "t") << "names its Approvals row";
  }
  const CommandOutcome verify = Audit(server, "verify");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(Audit(server, "head").out, "2:" + rows[1][7] + "\n");
  EXPECT_EQ(server.Stop(), 0) << server.LogText();
}

// Each kind of tampering with a trail of four records is named by hospd audit verify; a cut-off
// end only with the head taken before.
TEST_P(AuditTrailTest, VerifyNamesTheFirstTamperedRecord) {
  struct Tampering {
    const char* name;
    std::vector<std::string> sql;
    bool with_head;
    const char* finding;
  };
  const std::vector<Tampering> tamperings{
      {"changed",
       {"UPDATE AuditTrail SET CaseSeq = 5009 WHERE Seq = 2"},
       false,
       "record 2 was changed"},
      {"removed",
       {"DELETE FROM AuditTrail WHERE Seq = 2"},
       false,
       "a record between record 1 and record 3 was removed"},
      {"inserted",
       {"UPDATE AuditTrail SET Seq = Seq + 10 WHERE Seq >= 3",
        "INSERT INTO AuditTrail SELECT 3, RecordedAt, Event, 5009, ApprovalSeq, Staff, "
        "ClientAddress, Server, Mac, Mac FROM AuditTrail WHERE Seq = 2"},
       false,
       "record 3 was inserted"},
      {"copied",
       {"INSERT INTO AuditTrail SELECT 5, RecordedAt, Event, CaseSeq, ApprovalSeq, Staff, "
        "ClientAddress, Server, PreviousMac, Mac FROM AuditTrail WHERE Seq = 2"},
       false,
       "record 5 was inserted: it repeats record 2"},
      {"cut",
       {"DELETE FROM AuditTrail WHERE Seq = 4"},
       true,
       "the trail has 3 records, fewer than the 4 of the head"},
  };
  HospdProcess server({}, Database());
  Approve(server, {"5001", "5002", "5003", "5004"});
  const std::string head = Audit(server, "head").out;
  ASSERT_EQ(head.substr(0, 2), "4:");
  const auto db = OpenProbe(server);
  db->Execute("CREATE TABLE Kept AS SELECT * FROM AuditTrail");
  for (const Tampering& tampering : tamperings) {
    SCOPED_TRACE(tampering.name);
    for (const std::string& sql : tampering.sql) db->Execute(sql);
    if (tampering.with_head) {
      EXPECT_EQ(Audit(server, "verify").status, 0) << "without the head, a cut end looks whole";
    }
    const CommandOutcome verify = Audit(
        server, "verify",
        tampering.with_head ? std::vector<std::string>{"--head", head.substr(0, head.size() - 1)}
                            : std::vector<std::string>{});
    EXPECT_EQ(verify.status, 1) << verify.out;
    EXPECT_NE(verify.err.find(tampering.finding), std::string::npos) << verify.err;
    db->Execute("DELETE FROM AuditTrail");
    db->Execute("INSERT INTO AuditTrail SELECT * FROM Kept");
  }
  EXPECT_EQ(Audit(server, "verify", {"--head", head.substr(0, head.size() - 1)}).status, 0);
  EXPECT_EQ(server.Stop(), 0) << server.LogText();
}

// A folder and database of schema version 2 get a key and the trail at the next start: the
// approvals (those of a server of version 3 included) are chained in their order, later ones
// follow, and the trail verifies. A server whose key is not the trail's refuses to start.
TEST_P(AuditTrailTest, UpgradeChainsEarlierApprovals) {
  HospdProcess server({}, Database());
  Approve(server, {"5001", "5002"});
  server.Stop();
  MakeVersion2(server);
  OpenProbe(server)->Execute("UPDATE Cases SET f25 = 'Y' WHERE Seq = 5003");
  server.Restart();
  for (const char* line :
       {"audit key created", "audit trail: 3 approvals from before it chained"}) {
    EXPECT_NE(server.LogText().find(line), std::string::npos) << server.LogText();
  }
  EXPECT_EQ(std::filesystem::status(server.DataDir() + "/audit.key").permissions(),
            std::filesystem::perms(0600));
  Approve(server, {"5004"});
  const auto db = OpenProbe(server);
  EXPECT_EQ(db->Rows("SELECT t.Event, t.CaseSeq FROM AuditTrail t JOIN Approvals a ON a.Seq = "
                     "t.ApprovalSeq ORDER BY t.Seq"),
            (std::vector<std::vector<std::string>>{{"earlier approval", "5001"},
                                                   {"earlier approval", "5002"},
                                                   {"earlier approval", "5003"},
                                                   {"approval", "5004"}}));
  EXPECT_EQ(db->Value("SELECT count(*) FROM AuditBacklog"), "0");
  const CommandOutcome verify = Audit(server, "verify");
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

  server.Stop();
  ASSERT_EQ(RunHospd({"init", "--data", server.DataDir() + "/other"}).status, 0);
  for (const auto& [key, refusal] :
       {std::pair{server.DataDir() + "/other/audit.key",
                  "does not verify with this server's audit key"},
        std::pair{server.DataDir() + "/missing.key", "cannot read the audit key"}}) {
    try {
      server.Restart({"--audit-key", key});
      ADD_FAILURE() << "started with " << key;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(refusal), std::string::npos) << error.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, AuditTrailTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);
