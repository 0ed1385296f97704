// Tests of the login window's check of the data server's identity, from "Hosp.ini" to the
// message the physician sees, against the reference server.
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "AppTestSupport.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "ProgramState.h"
#include "TForm1.h"
#include "TLoginForm.h"
#include "dbServerConnection.h"

namespace fs = std::filesystem;

namespace {

const ShownMessage kNotVerified{"The data server's identity could not be verified.", "Error",
                                MessageButtons::Ok};

struct TrustRow {
  std::string name;
  // The lines added to the "DataServer" section, given the server's fingerprint.
  std::string (*keys)(const std::string& fingerprint);
  bool verified;
};

void PrintTo(const TrustRow& row, std::ostream* out) { *out << row.name; }

class ServerTrustTest : public ClientTest, public ::testing::WithParamInterface<TrustRow> {
 public:
  static void SetUpTestSuite() { hospd_ = std::make_unique<HospdProcess>(); }
  static void TearDownTestSuite() { hospd_.reset(); }

 protected:
  void SetUp() override {
    ClientTest::SetUp();
    saved_program_folder_ = ProgramFolder;
    folder_ = fs::path(::testing::TempDir()) / ("hosp-trust-" + GetParam().name);
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "trust");
    fs::copy_file(fs::path(hospd_->DataDir()) / "server.crt", folder_ / "trust" / "ca.pem");
  }
  void TearDown() override {
    ClientTest::TearDown();
    ProgramFolder = saved_program_folder_;
    fs::remove_all(folder_);
  }

  static std::unique_ptr<HospdProcess> hospd_;
  fs::path folder_;
  std::string saved_program_folder_;
};

std::unique_ptr<HospdProcess> ServerTrustTest::hospd_;

// The keys are read from "Hosp.ini" beside the program (relative paths from its folder);
// a server that cannot prove its identity gets no handshake, the physician is told so in
// place of "Unable to connect to data server", and the program ends.
TEST_P(ServerTrustTest, TalksOnlyToAVerifiedDataServer) {
  const TrustRow& row = GetParam();
  const std::string fingerprint = LoggedFingerprint(*hospd_);
  ASSERT_EQ(fingerprint.size(), 95u);
  WriteBytes(folder_ / "Hosp.ini", ClientIni(*hospd_, row.keys(fingerprint) + "\n"));
  const std::size_t log_before = hospd_->LogText().size();
  BuildWindows();
  ProgramFolder = folder_.string() + "/";
  login_->ReadConfiguration();
  login_->show();
  ASSERT_TRUE(WaitUntil([] { return FunctionConnection != nullptr; }));

  EXPECT_EQ(DataConnection->IsConnected(), row.verified);
  EXPECT_EQ(HospApplication::Terminated(), !row.verified);
  if (row.verified) {
    EXPECT_TRUE(messages_.Shown().empty());
    EXPECT_TRUE(DataConnection->QueryTable("Personnel", 4, "anna.weber@hospital.example", "",
                                           LoginRecord, "", ""));
    return;
  }
  EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kNotVerified});
  // The server saw the TLS handshake and then the connection's end, without one request.
  const std::regex closed("data 127\\.0\\.0\\.1:[0-9]+: closed after ([0-9]+) request");
  std::smatch match;
  std::string log;
  EXPECT_TRUE(WaitUntil([&] {
    log = hospd_->LogText().substr(log_before);
    return std::regex_search(log, match, closed);
  }));
  EXPECT_EQ(match.size() > 1 ? match[1].str() : "", "0") << log;
}

std::string WithSecondByteChanged(std::string fingerprint) {
  fingerprint[3] = fingerprint[3] == '0' ? '1' : '0';
  return fingerprint;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ServerTrustTest,
    ::testing::Values(
        TrustRow{"PinMatches",
                 [](const std::string& fp) {
                   return "Fingerprint=" + WithSecondByteChanged(fp) + ", " + fp;
                 },
                 true},
        TrustRow{"PinMismatch",
                 [](const std::string& fp) { return "Fingerprint=" + WithSecondByteChanged(fp); },
                 false},
        TrustRow{"MalformedPin",
                 [](const std::string& fp) { return "Fingerprint=" + fp.substr(3); }, false},
        TrustRow{"AuthorityFileBesideTheProgram",
                 [](const std::string&) { return std::string("CAFile=trust/ca.pem"); }, true},
        TrustRow{"AuthorityFileMissing",
                 [](const std::string&) { return std::string("CAFile=trust/none.pem"); }, false}),
    RowName());

}  // namespace
