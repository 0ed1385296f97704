// The login window: layout, "Hosp.ini", the connection sequence of its first paint and the
// login, against the reference servers and scripted ones.
#include "TLoginForm.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include "AppTestSupport.h"
#include "DataFrame.h"
#include "HospApplication.h"
#include "HospdProcess.h"
#include "LabeledEdit.h"
#include "ProgramState.h"
#include "ScriptedServer.h"
#include "TForm1.h"

namespace {

const ShownMessage kNoDataServer{"Unable to connect to data server", "Error", MessageButtons::Ok};
const ShownMessage kNoFunctionServer{"Unable to connect to function server", "Error",
                                     MessageButtons::Ok};
const ShownMessage kInvalidLogin{"Invalid login", "Error", MessageButtons::Ok};

// Accepts the handshake, offers no newer client build, and answers the login's query with
// `record`.
Script DataServerAnswering(std::string record) {
  return [record](ServerPeer& peer) {
    if (!peer.AcceptHandshake()) return;
    Frame frame;
    while (peer.ReadFrame(frame)) {
      const bool query =
          frame.type == FrameType::Table && frame.subtype == FrameSubtype::TableQuery;
      if (!peer.Answer(query ? record : "FileSize=0,FileDate=0")) return;
    }
  };
}

class TLoginFormTest : public ClientTest {};

// Caption, size, border, fonts, bounds, texts, visibility and tab order of the window.
TEST_F(TLoginFormTest, LayoutMatchesTheDesign) {
  BuildWindows();
  TLoginForm& form = *login_;
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Hospital Discharge Client Login"));
  EXPECT_EQ(form.size(), QSize(362, 180));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(form.windowFlags() & Qt::WindowSystemMenuHint);
  EXPECT_EQ(form.font().family(), QStringLiteral("MS Sans Serif"));
  EXPECT_EQ(form.font().pixelSize(), 11);
  form.show();

  EXPECT_EQ(form.UserEdit->geometry(), QRect(104, 32, 197, 21));
  EXPECT_EQ(form.PasswordEdit->geometry(), QRect(104, 72, 121, 21));
  EXPECT_EQ(form.LoginButton->geometry(), QRect(104, 112, 121, 25));
  EXPECT_EQ(form.LoginButton->text(), QStringLiteral("Log In"));
  for (LabeledEdit* edit : {form.UserEdit, form.PasswordEdit}) {
    EXPECT_EQ(edit->EditLabel()->geometry().right() + 1, edit->x() - 3);
    EXPECT_TRUE(edit->EditLabel()->isVisible());
  }
  EXPECT_EQ(form.UserEdit->EditLabel()->text(), QStringLiteral("Email "));
  EXPECT_EQ(form.PasswordEdit->EditLabel()->text(), QStringLiteral("Password "));
  EXPECT_EQ(form.PasswordEdit->echoMode(), QLineEdit::Password);
  EXPECT_EQ(form.PasswordEdit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr,
                                                  form.PasswordEdit),
            '*');

  EXPECT_EQ(form.ConnectingLabel->pos(), QPoint(84, 72));
  EXPECT_EQ(form.ConnectingLabel->text(), QStringLiteral("Connecting, please wait."));
  EXPECT_TRUE(form.ConnectingLabel->font().bold());
  EXPECT_EQ(form.ConnectingLabel->font().pixelSize(), 13);
  EXPECT_FALSE(form.ConnectingLabel->isVisible());

  EXPECT_EQ(form.UpdateIndicatorPanel->geometry(), QRect(26, 29, 311, 121));
  EXPECT_EQ(form.UpdateIndicatorPanel->text(), QStringLiteral("Updating To Newer Version"));
  EXPECT_EQ(form.UpdateIndicatorPanel->alignment(), Qt::AlignCenter);
  EXPECT_TRUE(form.UpdateIndicatorPanel->font().bold());
  EXPECT_EQ(form.UpdateIndicatorPanel->font().pixelSize(), 19);
  EXPECT_FALSE(form.UpdateIndicatorPanel->isVisible());
  EXPECT_EQ(form.Label6->parentWidget(), form.UpdateIndicatorPanel);
  EXPECT_EQ(form.Label6->pos(), QPoint(120, 20));
  EXPECT_EQ(form.Label6->text(), QStringLiteral("Please wait..."));
  EXPECT_EQ(form.UpdateProgressBar->parentWidget(), form.UpdateIndicatorPanel);
  EXPECT_EQ(form.UpdateProgressBar->geometry(), QRect(24, 80, 257, 16));
  EXPECT_EQ(form.UpdateProgressBar->minimum(), 0);
  EXPECT_EQ(form.UpdateProgressBar->maximum(), 100);

  EXPECT_EQ(TabChain(form.UserEdit, 3),
            (std::vector<QWidget*>{form.UserEdit, form.PasswordEdit, form.LoginButton}));
}

// Sections and keys in any letter case, blanks around values dropped; a missing file
// leaves every value empty.
TEST_F(TLoginFormTest, ReadsHospIniFromTheProgramFolder) {
  BuildWindows();
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / "hosp-ini-test";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "Hosp.ini") << "[dataserver]\nip = 10.1.2.3  \nPORT=8701\n"
                                        "sendpassword = Y\n"
                                        "[FUNCTIONSERVER]\n  Ip=db.hospital.example\nport = 8702\n";
  ProgramFolder = folder.string() + "/";
  login_->ReadConfiguration();
  EXPECT_EQ(login_->DataServerIP, "10.1.2.3");
  EXPECT_EQ(login_->DataServerPort, "8701");
  EXPECT_EQ(login_->FunctionServerIP, "db.hospital.example");
  EXPECT_EQ(login_->FunctionServerPort, "8702");
  EXPECT_TRUE(login_->SendPassword);

  std::filesystem::remove(folder / "Hosp.ini");
  login_->ReadConfiguration();
  EXPECT_FALSE(login_->SendPassword);
  EXPECT_EQ(login_->DataServerIP + login_->DataServerPort + login_->FunctionServerIP +
                login_->FunctionServerPort,
            "");
}

// Without "Hosp.ini" both connections fail, both messages show, and the program ends.
TEST_F(TLoginFormTest, WithoutHospIniBothConnectionsFail) {
  BuildWindows();
  ProgramFolder = ::testing::TempDir() + "/no-such-folder/";
  login_->ReadConfiguration();
  login_->show();
  ASSERT_TRUE(WaitUntil([] { return FunctionConnection != nullptr; }));
  EXPECT_EQ(messages_.Shown(), (std::vector<ShownMessage>{kNoDataServer, kNoFunctionServer}));
  EXPECT_TRUE(HospApplication::Terminated());
}

struct StartupCase {
  const char* name;
  bool data_up;
  bool function_up;
  std::vector<ShownMessage> messages;
};

void PrintTo(const StartupCase& row, std::ostream* out) { *out << row.name; }

class TLoginFormStartupTest : public TLoginFormTest,
                              public ::testing::WithParamInterface<StartupCase> {};

// The first paint connects to both servers; each failure has its message, the sequence
// goes on to its end, and any failure ends the program.
TEST_P(TLoginFormStartupTest, ConnectsOnFirstPaint) {
  HospdProcess hospd;
  BuildWindows();
  const StartupCase& row = GetParam();
  ASSERT_TRUE(
      ShowLoginWindow(row.data_up ? std::to_string(hospd.DataPort()) : ClosedPort(),
                      row.function_up ? std::to_string(hospd.FunctionPort()) : ClosedPort()));
  EXPECT_EQ(messages_.Shown(), row.messages);
  EXPECT_EQ(DataConnection->IsConnected(), row.data_up);
  EXPECT_EQ(FunctionConnection->IsConnected(), row.function_up);
  EXPECT_EQ(HospApplication::Terminated(), !row.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TLoginFormStartupTest,
    ::testing::Values(StartupCase{"BothUp", true, true, {}},
                      StartupCase{"DataDown", false, true, {kNoDataServer}},
                      StartupCase{"FunctionDown", true, false, {kNoFunctionServer}},
                      StartupCase{"BothDown", false, false, {kNoDataServer, kNoFunctionServer}}),
    RowName());

// Later paints neither reconnect nor run the sequence again.
TEST_F(TLoginFormTest, SecondPaintDoesNotReconnect) {
  HospdProcess hospd;
  BuildWindows();
  int paints = 0;
  EventSpy spy(login_.get(),
               [&paints](QEvent* event) { paints += event->type() == QEvent::Paint; });
  ASSERT_TRUE(
      ShowLoginWindow(std::to_string(hospd.DataPort()), std::to_string(hospd.FunctionPort())));
  const dbServerConnection* data = DataConnection.get();
  const dbServerConnection* function = FunctionConnection.get();
  const int first_paints = paints;
  login_->hide();
  login_->show();
  login_->repaint();
  HandleEventsFor(200);
  EXPECT_GT(paints, first_paints);
  EXPECT_EQ(DataConnection.get(), data);
  EXPECT_EQ(FunctionConnection.get(), function);
  EXPECT_TRUE(messages_.Shown().empty());
}

class TLoginFormLoginTest : public TLoginFormTest {
 protected:
  void SetUp() override {
    TLoginFormTest::SetUp();
    BuildWindows();
    ASSERT_TRUE(
        ShowLoginWindow(std::to_string(hospd_.DataPort()), std::to_string(hospd_.FunctionPort())));
  }
  HospdProcess hospd_;
};

// A physician's login fills the case list before it shows, names the physician and hides
// the login window for good.
TEST_F(TLoginFormLoginTest, PhysicianSeesTheFilledCaseList) {
  int cases_when_shown = -1;
  EventSpy spy(form1_.get(), [this, &cases_when_shown](QEvent* event) {
    if (event->type() == QEvent::Show)
      cases_when_shown = static_cast<int>(form1_->CaseObjects.size());
  });
  LogIn("anna.weber@hospital.example", "demo");
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_FALSE(HospApplication::Terminated());
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_FALSE(login_->isVisible());
  EXPECT_GT(cases_when_shown, 0);
  ASSERT_GE(LoginRecord.Count(), 28);
  const std::string name = LoginRecord[10] + " " + LoginRecord[11] + " " + LoginRecord[13];
  EXPECT_NE(name.find("Weber"), std::string::npos);
  EXPECT_EQ(form1_->DoctorNameLabel->text().toStdString(), name);
  EXPECT_EQ(form1_->DoctorNameLabel->size(), form1_->DoctorNameLabel->sizeHint());
  EXPECT_EQ(form1_->DoctorSeq, LoginRecord[1]);
  EXPECT_FALSE(login_->UserEdit->isVisibleTo(login_.get()));
  EXPECT_FALSE(login_->PasswordEdit->isVisibleTo(login_.get()));
  EXPECT_FALSE(login_->UserEdit->EditLabel()->isVisibleTo(login_.get()));
  EXPECT_FALSE(login_->LoginButton->isVisibleTo(login_.get()));
  EXPECT_TRUE(login_->ConnectingLabel->isVisibleTo(login_.get()));
}

// A physician mark "y" counts as "Y".
TEST_F(TLoginFormLoginTest, LowerCaseMarkIsAccepted) {
  LogIn("lukas.brenner@hospital.example", "demo");
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_FALSE(HospApplication::Terminated());
}

// A physician without open cases sees the function server's "NoCases" text, then the
// empty list.
TEST_F(TLoginFormLoginTest, PhysicianWithoutCasesIsTold) {
  LogIn("paul.richter@hospital.example", "demo");
  ASSERT_EQ(messages_.Shown().size(), 1u);
  EXPECT_EQ(messages_.Shown()[0].caption, "No Cases");
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_EQ(form1_->CasesListBox->count(), 0);
}

class TLoginFormSendPasswordTest : public TLoginFormTest,
                                   public ::testing::WithParamInterface<bool> {};

// With SendPassword=Y (and the server pinned) the physician logs in through the window,
// whether the server checks the password itself (and holds only hashes) or ignores the line
// and lets the client compare.
TEST_P(TLoginFormSendPasswordTest, PhysicianLogsIn) {
  HospdProcess hospd(GetParam() ? std::vector<std::string>{"--server-login"}
                                : std::vector<std::string>{});
  BuildWindows();
  login_->SendPassword = true;
  login_->Trust.DataServerIdentity.SetFingerprints(LoggedFingerprint(hospd));
  ASSERT_TRUE(
      ShowLoginWindow(std::to_string(hospd.DataPort()), std::to_string(hospd.FunctionPort())));
  LogIn("anna.weber@hospital.example", "demo");
  EXPECT_TRUE(messages_.Shown().empty());
  EXPECT_TRUE(form1_->isVisible());
  EXPECT_FALSE(HospApplication::Terminated());
  EXPECT_GT(form1_->CasesListBox->count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, TLoginFormSendPasswordTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return row.param ? "ServerLogin" : "ClientCompares";
                         });

class TLoginFormPasswordLineTest : public TLoginFormTest,
                                   public ::testing::WithParamInterface<std::string> {};

// The password line comes last, as typed and quoted as comma text quotes any line, even
// when the password is empty.
TEST_P(TLoginFormPasswordLineTest, SendPasswordAddsTheLineLast) {
  ScriptedServer data_server(true);
  ScriptedServer function_server(false);
  data_server.Expect(DataServerAnswering("~"));
  function_server.Expect([](ServerPeer& peer) {
    std::string request;
    peer.ReadText(request);
  });
  BuildWindows();
  login_->SendPassword = true;
  login_->Trust.DataServerIdentity.SetFingerprints(data_server.Fingerprint());
  ASSERT_TRUE(ShowLoginWindow(data_server.PortText(), function_server.PortText()));
  LogIn("anna@x", GetParam());
  NameValueList password_line;
  password_line.Add("Password=" + GetParam());
  const std::string request = "Key=anna@x," + password_line.CommaText() + std::string(1, '\0');
  EXPECT_NE(data_server.Received(0).find(request), std::string::npos) << data_server.Received(0);
  EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kInvalidLogin});
}

INSTANTIATE_TEST_SUITE_P(Passwords, TLoginFormPasswordLineTest,
                         ::testing::Values("pa ss,\"word", ""),
                         [](const ::testing::TestParamInfo<std::string>& row) {
                           return row.param.empty() ? "Empty" : "Quoted";
                         });

struct RefusalCase {
  const char* name;
  const char* email;
  const char* password;
};

void PrintTo(const RefusalCase& row, std::ostream* out) { *out << row.name; }

class TLoginFormRefusalTest : public TLoginFormLoginTest,
                              public ::testing::WithParamInterface<RefusalCase> {};

// Every refusal reads "Invalid login" and ends the program; there is no second try.
TEST_P(TLoginFormRefusalTest, RefusedLoginEndsTheProgram) {
  LogIn(GetParam().email, GetParam().password);
  EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kInvalidLogin});
  EXPECT_TRUE(HospApplication::Terminated());
  EXPECT_FALSE(form1_->isVisible());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, TLoginFormRefusalTest,
    ::testing::Values(RefusalCase{"PasswordLetterCase", "anna.weber@hospital.example", "Demo"},
                      RefusalCase{"WrongPassword", "anna.weber@hospital.example", "demo2"},
                      RefusalCase{"UnknownEmail", "nobody@hospital.example", "demo"},
                      RefusalCase{"NotAPhysician", "marie.koch@hospital.example", "demo"},
                      RefusalCase{"EmptyFields", "", ""}),
    RowName());

// A record of `items` values with the password "demo" at 23 and the mark "Y" at 27.
std::string PersonnelAnswer(int items) {
  std::string text;
  for (int i = 0; i < items; ++i) {
    std::string value = i == 23 ? "demo" : i == 27 ? "Y" : i == 1 ? "17" : "v" + std::to_string(i);
    text += (i ? "," : "") + value;
  }
  return text;
}

struct RecordCase {
  const char* name;
  int items;
  bool accepted;
};

void PrintTo(const RecordCase& row, std::ostream* out) { *out << row.name; }

class TLoginFormRecordTest : public TLoginFormTest,
                             public ::testing::WithParamInterface<RecordCase> {};

// Against a scripted data server: the address goes out exactly as typed, and a record too
// short to hold positions 0 to 27 is refused.
TEST_P(TLoginFormRecordTest, RecordLengthDecides) {
  ScriptedServer data_server(true);
  ScriptedServer function_server(false);
  data_server.Expect(DataServerAnswering(PersonnelAnswer(GetParam().items)));
  function_server.Expect([](ServerPeer& peer) {
    std::string request;
    if (peer.ReadText(request)) peer.Answer("{}");
  });
  BuildWindows();
  ASSERT_TRUE(ShowLoginWindow(data_server.PortText(), function_server.PortText()));
  ASSERT_TRUE(messages_.Shown().empty());
  LogIn(" anna.weber@hospital.example ", "demo");
  EXPECT_NE(data_server.Received(0).find("\"Key= anna.weber@hospital.example \""),
            std::string::npos);
  EXPECT_EQ(form1_->isVisible(), GetParam().accepted);
  EXPECT_EQ(HospApplication::Terminated(), !GetParam().accepted);
  if (!GetParam().accepted) {
    EXPECT_EQ(messages_.Shown(), std::vector<ShownMessage>{kInvalidLogin});
  }
}

INSTANTIATE_TEST_SUITE_P(Records, TLoginFormRecordTest,
                         ::testing::Values(RecordCase{"TwentyEightItems", 28, true},
                                           RecordCase{"TwentySevenItems", 27, false},
                                           RecordCase{"TwentyFourItems", 24, false}),
                         RowName());

}  // namespace
