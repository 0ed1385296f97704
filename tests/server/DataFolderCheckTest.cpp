// Tests of `hospd check`: each kind of damage to a real data folder is found and named.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "HospdProcess.h"
#include "SqliteProbe.h"
#include "admin/Certificate.h"
#include "admin/DataFolderCheck.h"
#include "admin/DemoFolder.h"

namespace fs = std::filesystem;

namespace {

// A demo data folder in a temporary folder of its own, removed afterwards.
class DemoDataFolder {
 public:
  DemoDataFolder() {
    std::ostringstream ignored;
    InitDemoFolder(Data(), ignored);
  }
  fs::path Root() const { return root_.Path(); }
  fs::path Data() const { return root_.Path() / "data"; }

 private:
  TempFolder root_{"hosp-check"};
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

struct Damage {
  const char* name;
  std::function<void(const DemoDataFolder&)> apply;
  const char* problem;  // part of the one problem line expected
};

class DataFolderCheckTest : public ::testing::TestWithParam<Damage> {};

// One damage, one problem line naming it; the rest of the folder still reads as sound.
TEST_P(DataFolderCheckTest, FindsTheDamage) {
  const DemoDataFolder folder;
  GetParam().apply(folder);
  const FolderReport report = CheckDataFolder(folder.Data());
  ASSERT_EQ(report.problems.size(), 1u) << Joined(report.problems);
  EXPECT_NE(report.problems[0].find(GetParam().problem), std::string::npos) << report.problems[0];
}

const Damage kDamages[] = {
    {"KeyOfAnotherCertificate",
     [](const DemoDataFolder& f) {
       WriteSelfSignedCertificate((f.Root() / "other.crt").string(),
                                  (f.Root() / "other.key").string(), "other");
       fs::copy_file(f.Root() / "other.key", f.Data() / "server.key",
                     fs::copy_options::overwrite_existing);
     },
     "server.key: does not match server.crt"},
    {"CertificateMissing", [](const DemoDataFolder& f) { fs::remove(f.Data() / "server.crt"); },
     "server.crt: cannot be read"},
    {"CertificateNotPem",
     [](const DemoDataFolder& f) { WriteBytes(f.Data() / "server.crt", "not a certificate\n"); },
     "server.crt: not a PEM certificate"},
    {"KeyReadableByEveryone",
     [](const DemoDataFolder& f) { ::chmod((f.Data() / "server.key").c_str(), 0644); },
     "server.key: readable by every user"},
    {"DatabaseReadableByEveryone",
     [](const DemoDataFolder& f) { ::chmod((f.Data() / "hosp.db").c_str(), 0644); },
     "hosp.db: readable by every user"},
    {"BackupInTheFolderReadableByItsGroup",
     [](const DemoDataFolder& f) {
       fs::copy_file(f.Data() / "hosp.db", f.Data() / "monday.db");
       ::chmod((f.Data() / "monday.db").c_str(), 0640);
     },
     "monday.db: readable by its group"},
    {"DatabaseMissing", [](const DemoDataFolder& f) { fs::remove(f.Data() / "hosp.db"); },
     "hosp.db: missing"},
    {"DatabaseNotSqlite",
     [](const DemoDataFolder& f) { WriteBytes(f.Data() / "hosp.db", std::string(8192, 'x')); },
     "hosp.db: damaged or not a database"},
    {"SchemaNewerThanTheProgram",
     [](const DemoDataFolder& f) {
       SqliteProbe(f.Data() / "hosp.db").Execute("PRAGMA user_version = 7");
     },
     "schema version 7 is newer"},
    {"ColumnMissing",
     [](const DemoDataFolder& f) {
       SqliteProbe(f.Data() / "hosp.db").Execute("ALTER TABLE Personnel DROP COLUMN PhysicianMark");
     },
     "table Personnel lacks the column PhysicianMark"},
    {"ClientsMissing", [](const DemoDataFolder& f) { fs::remove_all(f.Data() / "Clients"); },
     "Clients: missing"},
    {"BuildDatedBefore1980",
     [](const DemoDataFolder& f) {
       WriteBytes(f.Data() / "Clients" / "Pellomarquin.exe", "build");
       SetModificationTime(f.Data() / "Clients" / "Pellomarquin.exe", LocalTime(1975, 6, 1, 12));
     },
     "Clients/Pellomarquin.exe: its date cannot be sent"},
    {"BuildDatedAfter2043",
     [](const DemoDataFolder& f) {
       WriteBytes(f.Data() / "Clients" / "Pellomarquin.exe", "build");
       SetModificationTime(f.Data() / "Clients" / "Pellomarquin.exe", LocalTime(2050, 6, 1, 12));
     },
     "Clients/Pellomarquin.exe: its date cannot be sent"},
    {"LinkOutOfClients",
     [](const DemoDataFolder& f) {
       WriteBytes(f.Root() / "secret.txt", "secret");
       fs::create_symlink(f.Root() / "secret.txt", f.Data() / "Clients" / "Pellomarquin.exe");
     },
     "Clients/Pellomarquin.exe: not offered (Refused file name"},
};

INSTANTIATE_TEST_SUITE_P(Damages, DataFolderCheckTest, ::testing::ValuesIn(kDamages),
                         [](const auto& row) { return std::string(row.param.name); });

// The command: a sound folder lists its builds and exits 0 with "ok"; a folder with two
// problems exits 1 with exactly two problem lines.
TEST(DataFolderCheckCommandTest, ExitStatusAndOneLinePerProblem) {
  const DemoDataFolder folder;
  WriteBytes(folder.Data() / "Clients" / "Pellomarquin.exe", "build");
  const CommandOutcome sound = RunHospd({"check", "--data", folder.Data().string()});
  EXPECT_EQ(sound.status, 0) << sound.err;
  EXPECT_EQ(sound.err, "");
  EXPECT_NE(sound.out.find("Clients/Pellomarquin.exe: 5 bytes, "), std::string::npos) << sound.out;
  EXPECT_NE(sound.out.find("\nok\n"), std::string::npos);

  fs::remove(folder.Data() / "server.crt");
  ::chmod((folder.Data() / "server.key").c_str(), 0644);
  const CommandOutcome damaged = RunHospd({"check", "--data", folder.Data().string()});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(std::count(damaged.err.begin(), damaged.err.end(), '\n'), 2) << damaged.err;
}

}  // namespace
