// The client against hospd --require-login --function-tls: the function server's identity
// from "Hosp.ini", the whole login, list and approval with sessions, and the password kept
// from a data server whose identity is not checked.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QListWidget>

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

const ShownMessage kFunctionNotVerified{"The function server's identity could not be verified.",
                                        "Error", MessageButtons::Ok};
const ShownMessage kPasswordKept{
    "The password is only sent to a verified data server (set Fingerprint or CAFile in "
    "Hosp.ini).",
    "Error", MessageButtons::Ok};

std::string WithSecondByteChanged(std::string fingerprint) {
  fingerprint[3] = fingerprint[3] == '0' ? '1' : '0';
  return fingerprint;
}

struct FunctionTrustRow {
  std::string name;
  // The lines of section "FunctionServer" beside "Secure=Y", given the server's fingerprint.
  std::string (*keys)(const std::string& fingerprint);
  bool verified;
};

void PrintTo(const FunctionTrustRow& row, std::ostream* out) { *out << row.name; }

class SecureSessionTest : public ClientTest {
 public:
  static void SetUpTestSuite() {
    hospd_ = std::make_unique<HospdProcess>(
        std::vector<std::string>{"--require-login", "--function-tls"});
  }
  static void TearDownTestSuite() { hospd_.reset(); }

 protected:
  void SetUp() override {
    ClientTest::SetUp();
    saved_program_folder_ = ProgramFolder;
    folder_ = fs::path(::testing::TempDir()) /
              ("hosp-secure-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())
                   .substr(0, 40));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    ClientTest::TearDown();
    ProgramFolder = saved_program_folder_;
    fs::remove_all(folder_);
  }

  // The login window reading `data_keys` and `function_keys` from "Hosp.ini", both
  // connections attempted.
  bool Open(const std::string& data_keys, const std::string& function_keys) {
    WriteBytes(folder_ / "Hosp.ini", ClientIni(*hospd_, data_keys, function_keys));
    BuildWindows();
    ProgramFolder = folder_.string() + "/";
    login_->ReadConfiguration();
    login_->show();
    return WaitUntil([] { return FunctionConnection != nullptr; });
  }

  static std::unique_ptr<HospdProcess> hospd_;
  fs::path folder_;
  std::string saved_program_folder_;
};

std::unique_ptr<HospdProcess> SecureSessionTest::hospd_;

class FunctionTrustTest : public SecureSessionTest,
                          public ::testing::WithParamInterface<FunctionTrustRow> {};

// With "Secure=Y" the function server is reached over TLS and held to the keys of its own
// section: a server that cannot prove its identity is reported as such, and the program ends
// as after any failed connection to it.
TEST_P(FunctionTrustTest, TalksOnlyToAVerifiedFunctionServer) {
  const FunctionTrustRow& row = GetParam();
  const std::string fingerprint = LoggedFingerprint(*hospd_);
  ASSERT_EQ(fingerprint.size(), 95u);
  ASSERT_TRUE(Open("", "Secure=Y\n" + row.keys(fingerprint) + "\n"));

  EXPECT_EQ(FunctionConnection->IsConnected(), row.verified);
  EXPECT_EQ(HospApplication::Terminated(), !row.verified);
  if (row.verified) {
    EXPECT_TRUE(messages_.Shown().empty());
    EXPECT_TRUE(FunctionConnection->ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:1001}"));
    EXPECT_NE(FunctionConnection->AnswerText.find("Error"), std::string::npos);
  } else {
    EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kFunctionNotVerified});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, FunctionTrustTest,
    ::testing::Values(
        FunctionTrustRow{"NothingDemanded", [](const std::string&) { return std::string(); }, true},
        FunctionTrustRow{"PinMatches", [](const std::string& fp) { return "Fingerprint=" + fp; },
                         true},
        FunctionTrustRow{
            "PinMismatch",
            [](const std::string& fp) { return "Fingerprint=" + WithSecondByteChanged(fp); },
            false}),
    RowName());

// The whole session over TLS on both connections: the login sends the password to the pinned
// data server and keeps the session its answer names, the list comes with it, and the
// double-clicked case is approved in the database.
TEST_F(SecureSessionTest, LogsInListsAndApproves) {
  const std::string pin = "Fingerprint=" + LoggedFingerprint(*hospd_) + "\n";
  const std::size_t log_before = hospd_->LogText().size();
  ASSERT_TRUE(Open("SendPassword=Y\n" + pin, "Secure=Y\n" + pin));
  ASSERT_TRUE(messages_.Shown().empty());
  LogIn(kAnna, "demo");
  ASSERT_TRUE(messages_.Shown().empty()) << messages_.Shown().front().text;
  ASSERT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  EXPECT_FALSE(DataConnection->Session.empty());

  const std::string seq = form1_->CaseObjects.front()->CaseKey;
  form1_->CasesListBox->setCurrentRow(0);
  form1_->CasesListBoxDblClick();
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases - 1);
  EXPECT_EQ(SqlValue(hospd_->DatabasePath(), "SELECT f25 FROM Cases WHERE Seq=" + seq), "Y");
  const std::string log = hospd_->LogText().substr(log_before);
  EXPECT_EQ(log.find("refused"), std::string::npos) << log;
}

// With SendPassword=Y and neither Fingerprint nor CAFile, the password stays on this side: the
// physician is told why, no query goes out, and the program ends as after a refused login.
TEST_F(SecureSessionTest, PasswordGoesOnlyToAVerifiedDataServer) {
  const std::string pin = "Fingerprint=" + LoggedFingerprint(*hospd_) + "\n";
  ASSERT_TRUE(Open("SendPassword=Y\n", "Secure=Y\n" + pin));
  ASSERT_TRUE(messages_.Shown().empty());
  LogIn(kAnna, "demo");
  EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kPasswordKept});
  EXPECT_TRUE(LoginRecord.Empty());
  EXPECT_TRUE(HospApplication::Terminated());
}

}  // namespace
