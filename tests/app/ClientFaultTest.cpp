// What the client tells the physician when its servers fail: a data server killed during an
// approval or a self-update download, a function server killed during a refresh or restarted
// between two, a data server that speaks plain TCP, and an answer of 70,000 bytes without a NUL.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <QListWidget>
#include <QProgressBar>

#include "AppTestSupport.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "ProgramState.h"
#include "ScriptedServer.h"
#include "TForm1.h"
#include "TLoginForm.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLargeBuild = 8u << 20;
constexpr std::size_t kNoNulBytes = 70000;

const ShownMessage kApproveQuestion{"", "", MessageButtons::OkCancel};
const ShownMessage kUpdateFailed{"Could not update the case.", "Communication error",
                                 MessageButtons::Ok};
const ShownMessage kRefreshFailed{"Unable to get the case list from the function server.",
                                  "Problem getting case list", MessageButtons::Ok};

class ClientFaultTest : public DemoServerTest {
 protected:
  // The messages shown, with the approval question reduced to its buttons (its caption is
  // the patient's name).
  std::vector<ShownMessage> Shown() const {
    std::vector<ShownMessage> shown = messages_.Shown();
    for (ShownMessage& message : shown) {
      if (message.buttons == MessageButtons::OkCancel) message = kApproveQuestion;
    }
    return shown;
  }
};

}  // namespace

// The data server dies while an approval waits for its answer: the physician is told, the case
// stays listed and unapproved; once the server is back, the same double-click re-connects and
// approves it exactly once.
TEST_F(ClientFaultTest, ApprovalCutOffIsReportedAndTheNextOneReconnects) {
  LogInAsAnna();
  const std::string seq = form1_->CaseObjects.front()->CaseKey;
  server_.Pause();
  {
    DelayedKill kill(server_);
    ApproveFirstCase();
  }
  EXPECT_EQ(Shown(), (std::vector<ShownMessage>{kApproveQuestion, kUpdateFailed}));
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases);
  EXPECT_EQ(form1_->CaseObjects.front()->CaseKey, seq);
  EXPECT_EQ(CaseField(seq, "f25"), "");

  server_.Restart();
  messages_.Forget();
  ApproveFirstCase();
  EXPECT_EQ(Shown(), std::vector<ShownMessage>{kApproveQuestion});
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases - 1);
  EXPECT_EQ(CaseField(seq, "f25"), "Y");
  EXPECT_EQ(SqlValue(server_.DatabasePath(), "SELECT COUNT(*) FROM Approvals WHERE CaseSeq=" + seq),
            "1");
}

// A newer build whose download is cut off by the server's death: the update gives up silently
// and changes nothing beside the program. Once the server is back, the login notices the
// closed connection, connects again and succeeds.
TEST_F(ClientFaultTest, SelfUpdateCutOffChangesNothing) {
  const fs::path build = fs::path(server_.ClientsDir()) / "Pellomarquin.exe";
  std::ofstream(build, std::ios::binary) << std::string(kLargeBuild, 'B');
  fs::last_write_time(build, fs::file_time_type::clock::now() + std::chrono::hours(24 * 365));
  const fs::path folder = fs::path(server_.DataDir()).parent_path() / "program";
  fs::create_directories(folder);

  BuildWindows();
  ProgramFolder = folder.string() + "/";
  QObject::connect(login_->UpdateProgressBar, &QProgressBar::valueChanged, login_.get(),
                   [this](int value) {
                     if (value > 0 && server_.Running()) server_.Kill();
                   });
  ASSERT_TRUE(ShowLoginWindow(DataPort(), FunctionPort()));
  EXPECT_FALSE(server_.Running()) << "the download never started";
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_FALSE(HospApplication::Terminated());
  EXPECT_FALSE(fs::exists(folder / "Pellomarquin.exe"));
  EXPECT_LT(fs::file_size(folder / "Pellomarquin.tmp"), kLargeBuild);

  server_.Restart();
  LogIn(kAnna, "demo");
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_FALSE(HospApplication::Terminated());
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases);
}

// A refresh after the function server was restarted notices that the old connection was
// closed, connects again and lists the cases, without troubling the physician.
TEST_F(ClientFaultTest, RefreshAfterFunctionServerRestart) {
  LogInAsAnna();
  server_.Restart();
  form1_->RefreshListButtonClick();
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases);
}

// The function server dies while a refresh waits for its answer: the physician is told and the
// list stays empty; once the server is back, the next refresh connects again and lists the cases.
TEST_F(ClientFaultTest, RefreshCutOffIsReportedAndTheNextOneReconnects) {
  LogInAsAnna();
  server_.Pause();
  {
    DelayedKill kill(server_);
    form1_->RefreshListButtonClick();
  }
  EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kRefreshFailed});
  EXPECT_TRUE(form1_->CaseObjects.empty());

  server_.Restart();
  messages_.Forget();
  form1_->RefreshListButtonClick();
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_EQ(form1_->CaseObjects.size(), kAnnasCases);
}

// A data server address that leads to a plain TCP server: the TLS handshake fails, the
// physician is told, and the program ends.
TEST_F(ClientFaultTest, DataServerSpeakingPlainTcp) {
  BuildWindows();
  ASSERT_TRUE(ShowLoginWindow(FunctionPort(), FunctionPort()));
  EXPECT_EQ(messages_.Shown(), (std::vector<ShownMessage>{{"Unable to connect to data server",
                                                           "Error", MessageButtons::Ok}}));
  EXPECT_TRUE(HospApplication::Terminated());
}

namespace {

struct LongAnswer {
  const char* name;
  bool then_close;  // otherwise the rest of the answer and its NUL follow
};

void PrintTo(const LongAnswer& row, std::ostream* out) { *out << row.name; }

class LongAnswerTest : public ClientTest, public ::testing::WithParamInterface<LongAnswer> {};

}  // namespace

// A case list answer whose first 70,000 bytes hold no NUL: completed later, it is read whole
// (its error text reaches the physician in full); cut off, the refresh reports the failure.
TEST_P(LongAnswerTest, RefreshReadsOrReportsIt) {
  const std::string error(kNoNulBytes, 'x');
  ScriptedServer server(false);
  const bool then_close = GetParam().then_close;
  server.Expect([&error, then_close](ServerPeer& peer) {
    std::string request;
    if (!peer.ReadText(request)) return;
    peer.Send("{Error:\"" + error.substr(8));  // 70,000 bytes
    if (then_close) {
      peer.Close();
      return;
    }
    std::this_thread::sleep_for(100ms);
    peer.Answer(error.substr(error.size() - 8) + "\"}");
  });
  BuildWindows();
  FunctionConnection =
      std::make_unique<dbServerConnection>("127.0.0.1", server.PortText(), "", "", false, -1);
  ASSERT_TRUE(FunctionConnection->IsConnected());
  form1_->DoctorSeq = "17";
  form1_->RefreshListButtonClick();
  const std::vector<ShownMessage> expected =
      then_close
          ? std::vector<ShownMessage>{kRefreshFailed}
          : std::vector<ShownMessage>{{error, "Problem getting case list", MessageButtons::Ok}};
  EXPECT_EQ(messages_.Shown(), expected);
  EXPECT_TRUE(form1_->CaseObjects.empty());
}

INSTANTIATE_TEST_SUITE_P(Peers, LongAnswerTest,
                         ::testing::Values(LongAnswer{"ThenNul", false},
                                           LongAnswer{"ThenClose", true}),
                         RowName());
