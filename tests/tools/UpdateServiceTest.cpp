// Tests of hosp-client-update, the update service's program, run against the real hospd on a
// program folder of stand-in builds (shell scripts).
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "BuildSignature.h"
#include "FileDate.h"
#include "HospdProcess.h"

namespace fs = std::filesystem;

namespace {

const std::string kRunningBuild = "#!/bin/sh\n# the running build\nexit 0\n";
const std::time_t kRunningTime = UtcTime(2030, 1, 1);

class UpdateServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    for (const char* name : {"first", "second", "other"}) {
      ASSERT_TRUE(BuildSignature::MakeKeyPair(keys_.Path(std::string(name) + ".key"),
                                              folder_.Path(std::string(name) + ".pem"), error))
          << error;
    }
    WriteBytes(Exe(), kRunningBuild);
    fs::permissions(Exe(), fs::perms(0755));
    SetModificationTime(Exe(), kRunningTime);
    WriteBytes(folder_.Path() / "Hosp.ini", ClientIni(hospd_) + "[Update]\nPublicKey=first.pem, " +
                                                folder_.Path("second.pem") + "\n");
  }

  fs::path Exe() const { return folder_.Path() / "Pellomarquin.exe"; }
  fs::path Published(const std::string& suffix = "") const {
    return fs::path(hospd_.ClientsDir()) / ("Pellomarquin.exe" + suffix);
  }

  // Offers `bytes` dated `when`, with a statement of that date signed with `key`.
  void Offer(const std::string& bytes, const std::string& key, std::time_t when) {
    const auto date = static_cast<std::int32_t>(PackDosDate(when));
    std::string error;
    WriteBytes(Published(".sig"),
               BuildSignature::MakeStatement(keys_.Path(key + ".key"), bytes, date, error));
    ASSERT_EQ(error, "");
    WriteBytes(Published(), bytes);
    ASSERT_TRUE(SetFilePackedDate(Published().string(), static_cast<std::uint32_t>(date)));
  }

  CommandOutcome RunService() {
    return RunProgram(HOSP_CLIENT_UPDATE_PATH, {folder_.Path().string()});
  }

  HospdProcess hospd_;
  TempFolder folder_;
  TempFolder keys_;
};

// "PublicKey" lists two keys: a build signed with the second is installed (its statement kept
// beside it, the running build kept as Pellomarquin.bak); one signed with another key is not.
TEST_F(UpdateServiceTest, InstallsABuildSignedWithAnyListedKey) {
  const std::string newer = "#!/bin/sh\n# a newer build\nexit 0\n";
  Offer(newer, "other", UtcTime(2031, 3, 4));
  const CommandOutcome refused = RunService();
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_EQ(ReadBytes(Exe()), kRunningBuild);
  EXPECT_FALSE(fs::exists(folder_.Path() / "Pellomarquin.tmp"));

  Offer(newer, "second", UtcTime(2031, 3, 4));
  const CommandOutcome installed = RunService();
  EXPECT_EQ(installed.status, 0) << installed.out << installed.err;
  EXPECT_EQ(ReadBytes(Exe()), newer);
  EXPECT_EQ(fs::status(Exe()).permissions(), fs::perms(0755));
  EXPECT_EQ(ReadBytes(folder_.Path() / "Pellomarquin.bak"), kRunningBuild);
  EXPECT_EQ(ReadBytes(folder_.Path() / "Pellomarquin.exe.sig"), ReadBytes(Published(".sig")));
}

// A build that fails its --check is replaced by the previous build again and, as a build of
// its date, not installed again; a newer build is.
TEST_F(UpdateServiceTest, BuildThatFailsItsCheckIsRolledBackForGood) {
  const std::string broken = "#!/bin/sh\n# a broken build\nexit 3\n";
  Offer(broken, "first", UtcTime(2031, 3, 4));
  const CommandOutcome failed = RunService();
  EXPECT_EQ(failed.status, 1) << failed.out << failed.err;
  EXPECT_EQ(ReadBytes(Exe()), kRunningBuild);
  EXPECT_EQ(fs::status(Exe()).permissions(), fs::perms(0755));

  const CommandOutcome again = RunService();
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(ReadBytes(Exe()), kRunningBuild);
  EXPECT_FALSE(fs::exists(folder_.Path() / "Pellomarquin.tmp")) << "downloaded again";

  const std::string fixed = "#!/bin/sh\n# the fixed build\n[ \"$1\" = --check ]\n";
  Offer(fixed, "first", UtcTime(2031, 3, 5));
  const CommandOutcome installed = RunService();
  EXPECT_EQ(installed.status, 0) << installed.out << installed.err;
  EXPECT_EQ(ReadBytes(Exe()), fixed);
}

}  // namespace
