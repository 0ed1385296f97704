// The data server over TLS, driven by the client's own dbServerConnection.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "DataFrame.h"
#include "FileDate.h"
#include "ServerProbe.h"
#include "ServerTestSupport.h"
#include "StoreServers.h"

namespace {

class DataServerTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  static void TearDownTestSuite() { servers_.StopAll(); }

  HospdProcess& Server() const { return servers_.Get(GetParam()); }

  static StoreServers servers_;
};

StoreServers DataServerTest::servers_;

// Local days since 30 December 1899 with the time of day as fraction, computed independently.
double LocalDayCountNow() {
  using namespace std::chrono;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const year_month_day today{year(local.tm_year + 1900),
                             month(static_cast<unsigned>(local.tm_mon + 1)),
                             day(static_cast<unsigned>(local.tm_mday))};
  const auto days = (sys_days(today) - sys_days(year(1899) / December / 30)).count();
  return static_cast<double>(days) +
         (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec) / 86400.0;
}

void WriteFile(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 7919) % 251));
}

}  // namespace

// The handshake is accepted and carries today's date value, the data folder and the peer address.
TEST_P(DataServerTest, HandshakeAcceptsTheProgram) {
  const auto connection = OpenDataConnection(Server());
  ASSERT_TRUE(connection->IsConnected());
  EXPECT_NEAR(connection->ServerDate, LocalDayCountNow(), 0.01);
  EXPECT_EQ(connection->RunningFolder, std::filesystem::canonical(Server().DataDir()).string());
  EXPECT_EQ(connection->RemoteIP, "127.0.0.1");
}

// Another program identifier is refused, and so is a table query that comes without a handshake.
TEST_P(DataServerTest, HandshakeRefusesOtherPrograms) {
  const auto refused = OpenDataConnection(Server(), "Pellomarquin2");
  EXPECT_FALSE(refused->Connected);

  const auto unshaken = OpenDataConnection(Server(), "");
  ASSERT_TRUE(unshaken->IsConnected());
  NameValueList record;
  EXPECT_FALSE(
      unshaken->QueryTable("Personnel", 4, "anna.weber@hospital.example", "", record, "", ""));
  ASSERT_EQ(record.Count(), 1);
  EXPECT_EQ(record[0], "Error: Handshake required.");
  EXPECT_FALSE(unshaken->UpdateRecord("Cases", "5001", Fields("f25=Y")));
  EXPECT_EQ(unshaken->ErrorCode, 1);
  EXPECT_EQ(unshaken->GetFileInfo("Clients\\Pellomarquin.exe"), 0);
}

// The date request answers a date value as well.
TEST_P(DataServerTest, DateRequestAnswersTheDate) {
  const auto connection = OpenDataConnection(Server());
  ASSERT_TRUE(connection->SendMessage(FrameType::Date, FrameSubtype::None, ""));
  EXPECT_NEAR(std::stod(connection->AnswerList.Value("Date")), LocalDayCountNow(), 0.01);
}

// The Personnel record by e-mail: the positions the login reads, and "~" without a record.
TEST_P(DataServerTest, PersonnelRecordByEmail) {
  struct Row {
    const char* name;
    std::string key;
    bool found;
    const char* seq;
    const char* full_name;  // positions 10, 11 and 13
    const char* mark;
  };
  const Row rows[] = {
      {"physician", "anna.weber@hospital.example", true, "1001", "Dr. Anna Weber", "Y"},
      {"lower-case mark", "lukas.brenner@hospital.example", true, "1002", "Dr. Lukas Brenner", "y"},
      {"nurse", "marie.koch@hospital.example", true, "1003", " Marie Koch", "N"},
      {"letter case of the address", "Paul.Richter@Hospital.Example", true, "1004",
       "Dr. Paul Richter", "Y"},
      {"unknown address", "nobody@hospital.example", false, "", "", ""},
      {"blanks around the address", " anna.weber@hospital.example ", false, "", "", ""},
  };
  const auto connection = OpenDataConnection(Server());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    NameValueList record;
    EXPECT_EQ(connection->QueryTable("Personnel", 4, row.key, "", record, "", ""), row.found);
    if (!row.found) {
      ASSERT_EQ(record.Count(), 1);
      EXPECT_EQ(record[0], "~");
      continue;
    }
    ASSERT_GE(record.Count(), 28);
    EXPECT_EQ(record[1], row.seq);
    EXPECT_EQ(record[10] + " " + record[11] + " " + record[13], row.full_name);
    EXPECT_EQ(record[23], "demo");
    EXPECT_EQ(record[27], row.mark);
  }
}

// Queries the server cannot serve answer a quoted "Error:" line, which the client reads as a
// failure.
TEST_P(DataServerTest, QueryErrorsAreQuotedErrorLines) {
  struct Row {
    const char* table;
    int list;
    const char* key;
    const char* error;
  };
  const Row rows[] = {
      {"Wards", 4, "3B", "Error: Unknown table Wards."},
      {"Personnel", 3, "anna.weber@hospital.example", "Error: Unknown list 3 of table Personnel."},
  };
  const auto connection = OpenDataConnection(Server());
  for (const Row& row : rows) {
    NameValueList record;
    EXPECT_FALSE(connection->QueryTable(row.table, row.list, row.key, "", record, "", ""));
    ASSERT_EQ(record.Count(), 1);
    EXPECT_EQ(record[0], row.error);
  }
  EXPECT_NE(Server().LogText().find("table query failed: Unknown table Wards."), std::string::npos);
}

// An approval is committed to the file before its answer, once, and a repeat changes nothing.
TEST_P(DataServerTest, ApprovalIsRecordedOnce) {
  const auto connection = OpenDataConnection(Server());
  ASSERT_TRUE(connection->UpdateRecord("Cases", "5002", Fields("f25=Y")));
  EXPECT_EQ(connection->ErrorCode, 0);
  const auto db = OpenProbe(Server());
  EXPECT_EQ(db->Value("SELECT f25 FROM Cases WHERE Seq = 5002"), "Y");
  EXPECT_EQ(db->Value("SELECT count(*) FROM Approvals WHERE CaseSeq = 5002"), "1");

  ASSERT_TRUE(connection->UpdateRecord("Cases", "5002", Fields("f25=Y")));
  EXPECT_EQ(db->Value("SELECT count(*) FROM Approvals WHERE CaseSeq = 5002"), "1");
}

// Updates of unknown records, fields or tables fail with their own error code and change nothing.
TEST_P(DataServerTest, UpdateRefusals) {
  struct Row {
    const char* name;
    const char* table;
    const char* seq;
    const char* field;
    int error_code;
  };
  const Row rows[] = {
      {"unknown record", "Cases", "999999", "f25=Y", 3},
      {"sequence that is no number", "Cases", "50x3", "f25=Y", 3},
      {"empty sequence", "Cases", "", "f25=Y", 3},
      {"unknown field", "Cases", "5003", "f99=Y", 4},
      {"key field", "Cases", "5003", "DoctorSeq=1004", 4},
      {"field line without a value", "Cases", "5005", "f25", 4},
      {"read-only table", "Personnel", "1001", "Password=x", 2},
      {"unknown table", "Wards", "1", "f25=Y", 2},
  };
  const auto connection = OpenDataConnection(Server());
  ASSERT_TRUE(connection->UpdateRecord("Cases", "5005", Fields("f25=Y")));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(connection->UpdateRecord(row.table, row.seq, Fields(row.field)));
    EXPECT_EQ(connection->ErrorCode, row.error_code);
    EXPECT_FALSE(connection->Error.empty());
  }
  const auto db = OpenProbe(Server());
  EXPECT_EQ(db->Value("SELECT f25 || '/' || DoctorSeq FROM Cases WHERE Seq = 5003"), "/1001");
  EXPECT_EQ(db->Value("SELECT f25 FROM Cases WHERE Seq = 5005"), "Y");
}

// A request type or subtype the server does not know still gets one answer, with an error
// code; other subtypes of the handshake and the date request are no handshake (which could
// withdraw the acceptance) and no date.
TEST_P(DataServerTest, UnknownRequestIsAnswered) {
  const struct {
    int type;
    int subtype;
  } requests[] = {{FrameType::Table, 77},
                  {FrameType::Handshake, 1},
                  {FrameType::Handshake, -1},
                  {FrameType::Date, 5},
                  {FrameType::Date, FrameSubtype::TableQuery},
                  {FrameType::File, FrameSubtype::None}};
  const auto connection = OpenDataConnection(Server());
  for (const auto& request : requests) {
    SCOPED_TRACE(std::to_string(request.type) + "/" + std::to_string(request.subtype));
    ASSERT_TRUE(connection->SendMessage(request.type, request.subtype, "ProgramID=Other"));
    EXPECT_EQ(connection->ErrorCode, 6);
    EXPECT_EQ(connection->AnswerList.Value("Date"), "");
    EXPECT_EQ(connection->AnswerList.Value("Accepted"), "");
    NameValueList record;
    EXPECT_TRUE(connection->QueryTable("Cases", 4, "5004", "", record, "", ""));
    EXPECT_EQ(record[0], "5004");
  }
}

// File size and date, then a download that arrives byte for byte with the server's date.
TEST_P(DataServerTest, ClientBuildSizeDateAndDownload) {
  const std::string served = Server().ClientsDir() + "/Pellomarquin.exe";
  WriteFile(served, 120000);
  ASSERT_TRUE(SetFilePackedDate(served, PackDosDate(std::time(nullptr) - 86400)));
  const std::int32_t date = GetFilePackedDate(served);

  const auto connection = OpenDataConnection(Server());
  EXPECT_EQ(connection->GetFileInfo("Clients\\Pellomarquin.exe"), date);
  EXPECT_EQ(connection->FileSize, 120000);

  const std::string local = Server().DataDir() + "/../Pellomarquin.tmp";
  ASSERT_TRUE(connection->GetFile("Clients\\Pellomarquin.exe", local, nullptr));
  EXPECT_EQ(ReadBytes(local), ReadBytes(served));
  EXPECT_EQ(GetFilePackedDate(local), date);
  // The connection goes on after the download's closing answer.
  EXPECT_EQ(connection->GetFileInfo("clients/Pellomarquin.exe"), date);
}

// Names that would leave the Clients folder, or name no file, give no size, no date and no bytes.
TEST_P(DataServerTest, FileNamesOutsideClientsAreRefused) {
  std::filesystem::create_symlink("../hosp.db", Server().ClientsDir() + "/escape.db");
  const char* names[] = {"Clients\\..\\hosp.db",
                         "..\\hosp.db",
                         "hosp.db",
                         "Clients\\",
                         "Clients\\\\server.key",
                         "/etc/passwd",
                         "Clients\\escape.db",
                         "Clients\\missing.exe",
                         "Clients\\C:\\server.key",
                         ""};
  const auto connection = OpenDataConnection(Server());
  const std::string local = Server().DataDir() + "/../refused.bin";
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(connection->GetFileInfo(name), 0);
    EXPECT_EQ(connection->FileSize, 0);
    EXPECT_FALSE(connection->GetFile(name, local, nullptr));
    EXPECT_EQ(std::filesystem::file_size(local), 0u);
  }
  EXPECT_TRUE(connection->IsConnected());
  // A refused name is worth a log line; asking after a build nobody published is not.
  const std::string log = Server().LogText();
  EXPECT_NE(log.find("file size and date failed: Refused file name"), std::string::npos) << log;
  EXPECT_EQ(log.find("file size and date failed: No such file"), std::string::npos) << log;
}

// A build whose date the packed form cannot hold is refused with a reason, not offered with
// the date 0 that reads as "no file".
TEST_P(DataServerTest, BuildDatedOutsideThePackedRangeIsRefused) {
  const std::string served = Server().ClientsDir() + "/Dated.exe";
  WriteFile(served, 1000);
  const auto connection = OpenDataConnection(Server());
  const std::string local = Server().DataDir() + "/../dated.bin";
  for (const int year : {1975, 2110}) {
    SCOPED_TRACE(year);
    ASSERT_TRUE(SetModificationTime(served, LocalTime(year, 6, 1, 12)));

    EXPECT_EQ(connection->GetFileInfo("Clients\\Dated.exe"), 0);
    EXPECT_EQ(connection->ErrorCode, 8);
    EXPECT_NE(connection->AnswerList.Value("Error").find("1980 to 2107"), std::string::npos);
    EXPECT_FALSE(connection->GetFile("Clients\\Dated.exe", local, nullptr));
    EXPECT_EQ(connection->ErrorCode, 8);
    EXPECT_EQ(std::filesystem::file_size(local), 0u);
  }
  EXPECT_TRUE(connection->IsConnected());
  EXPECT_NE(Server().LogText().find("Date of Clients\\Dated.exe cannot be sent"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, DataServerTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreName);
