// The login window: reads "Hosp.ini", opens both server connections after its first paint
// and logs the physician in.
#include "TLoginForm.h"

#include <functional>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "AppFonts.h"
#include "ControlPlacement.h"
#include "FramePlacement.h"
#include "HospApplication.h"
#include "IniFile.h"
#include "LabeledEdit.h"
#include "MessageBox.h"
#include "ProgramState.h"
#include "QtText.h"
#include "RequestInFlight.h"
#include "TForm1.h"
#include "cClientUpdate.h"
#include "dbUserInterface.h"

namespace {

constexpr Qt::WindowFlags kLoginWindowFlags =
    Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// The physician's record has at least positions 0 to 27.
constexpr int kRecordItems = 28;
constexpr int kSeqItem = 1;
constexpr int kTitleItem = 10;
constexpr int kFirstNameItem = 11;
constexpr int kLastNameItem = 13;
constexpr int kPasswordItem = 23;
constexpr int kPhysicianMarkItem = 27;

// The session a login's answer names after the record's positions, or empty.
std::string SessionOf(const NameValueList& record) {
  for (int i = kRecordItems; i < record.Count(); ++i) {
    if (record.NameAt(i) == "Session") return record.ValueAt(i);
  }
  return {};
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Opens `connection` as `open` makes it; a connection that fails is named as `server` and ends
// the program.
void ConnectOrEnd(std::unique_ptr<dbServerConnection>& connection, const std::string& server,
                  const std::function<std::unique_ptr<dbServerConnection>()>& open) {
  const RequestOutcome outcome = RequestInFlight::Run(connection, "Error", [&connection, &open] {
    connection = open();
    return connection->IsConnected();
  });
  // The text names the cause, which only the failed connection knows.
  if (outcome == RequestOutcome::Failed) {
    MessageBox::Show(connection->IdentityRefused
                         ? "The " + server + "'s identity could not be verified."
                         : "Unable to connect to " + server,
                     "Error");
  }
  if (outcome != RequestOutcome::Succeeded) HospApplication::Terminate();
}

}  // namespace

TLoginForm::TLoginForm(QWidget* parent) : QWidget(parent, kLoginWindowFlags) {
  setWindowTitle(QStringLiteral("Hospital Discharge Client Login"));
  setFont(AppFont(11));
  setFixedSize(362, 180);
  BuildControls();
  ProgramFolder = ToStdString(QCoreApplication::applicationDirPath()) + "/";
  ReadConfiguration();
  DataConnection.reset();
  FunctionConnection.reset();
  LoginRecord.Clear();
  new FramePlacement(this);
}

void TLoginForm::BuildControls() {
  UserEdit = new LabeledEdit(QStringLiteral("Email "), this);
  UserEdit->setGeometry(104, 32, 197, 21);

  PasswordEdit = new LabeledEdit(QStringLiteral("Password "), this);
  PasswordEdit->setGeometry(104, 72, 121, 21);
  PasswordEdit->setEchoMode(QLineEdit::Password);
  PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // '*'

  LoginButton = new QPushButton(QStringLiteral("Log In"), this);
  LoginButton->setGeometry(104, 112, 121, 25);
  connect(LoginButton, &QPushButton::clicked, this, &TLoginForm::LoginButtonClick);
  // Enter (and the keypad's) in either field does what clicking "Log In" does.
  connect(UserEdit, &QLineEdit::returnPressed, LoginButton, &QPushButton::click);
  connect(PasswordEdit, &QLineEdit::returnPressed, LoginButton, &QPushButton::click);

  ConnectingLabel = new QLabel(QStringLiteral("Connecting, please wait."), this);
  ConnectingLabel->setFont(AppFont(13, true));
  PlaceLabel(ConnectingLabel, QRect(84, 72, 169, 16));
  ConnectingLabel->hide();

  BuildUpdatePanel();

  setTabOrder(UserEdit, PasswordEdit);
  setTabOrder(PasswordEdit, LoginButton);
  UserEdit->setFocus();
}

// The panel covers the edits and the button while a newer build is installed.
void TLoginForm::BuildUpdatePanel() {
  UpdateIndicatorPanel = new QLabel(QStringLiteral("Updating To Newer Version"), this);
  UpdateIndicatorPanel->setFont(AppFont(19, true));
  UpdateIndicatorPanel->setAlignment(Qt::AlignCenter);
  UpdateIndicatorPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  UpdateIndicatorPanel->setAutoFillBackground(true);
  UpdateIndicatorPanel->setGeometry(26, 29, 311, 121);

  Label6 = new QLabel(QStringLiteral("Please wait..."), UpdateIndicatorPanel);
  Label6->move(120, 20);
  Label6->adjustSize();

  UpdateProgressBar = new QProgressBar(UpdateIndicatorPanel);
  UpdateProgressBar->setGeometry(24, 80, 257, 16);
  UpdateProgressBar->setRange(0, 100);
  UpdateProgressBar->setValue(0);
  UpdateProgressBar->setTextVisible(false);

  UpdateIndicatorPanel->hide();
}

void TLoginForm::ReadConfiguration() {
  IniFile ini;
  ini.Load(ProgramFolder + "Hosp.ini");
  DataServerIP = ini.Read("DataServer", "IP");
  DataServerPort = ini.Read("DataServer", "Port");
  FunctionServerIP = ini.Read("FunctionServer", "IP");
  FunctionServerPort = ini.Read("FunctionServer", "Port");
  SendPassword = ini.Read("DataServer", "SendPassword") == "Y";
  Trust = TrustSettings::Read(ini);
  Client = ClientSettings::Read(ini);
  DataServerTimeout = dbServerConnection::TimeoutSetting(ini.Read("DataServer", "Timeout"));
  FunctionServerTimeout = dbServerConnection::TimeoutSetting(ini.Read("FunctionServer", "Timeout"));
}

void TLoginForm::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  cClientUpdate::ReportStarted();  // a build on probation has reached its login window
  FormPaint();
}

void TLoginForm::FormPaint() {
  if (DataConnection || RequestInFlight::Active()) return;
  QTimer::singleShot(0, this, &TLoginForm::RunFirstPaintSequence);
}

// A failed connection asks the program to end but does not stop the sequence: the
// program ends once this handler is back in the event loop.
void TLoginForm::RunFirstPaintSequence() {
  // Several paints may have arranged it; the window paints while the data server connects,
  // before DataConnection is set.
  if (DataConnection || RequestInFlight::Active()) return;
  ConnectDataServer();
  ConnectFunctionServer();
  RunUpdateCheck();
}

void TLoginForm::ConnectDataServer() {
  ConnectOrEnd(DataConnection, "data server", [this] {
    return std::make_unique<dbServerConnection>(DataServerIP, DataServerPort, "Pellomarquin", "",
                                                true, DataServerTimeout, Trust.DataServerIdentity);
  });
}

// With "Secure=Y", over TLS and held to the identity keys of its own section.
void TLoginForm::ConnectFunctionServer() {
  ConnectOrEnd(FunctionConnection, "function server", [this] {
    return std::make_unique<dbServerConnection>(FunctionServerIP, FunctionServerPort, "", "",
                                                Trust.FunctionServerSecure, FunctionServerTimeout,
                                                Trust.FunctionServerIdentity);
  });
}

// A successful update starts the new build and ends this one. A failed one has shown its
// messages by the time PerformUpdate returns: the panel goes, so that the edits and the
// button under it can be used again. A data server that stopped answering during the check
// or the download is reported before the login.
void TLoginForm::RunUpdateCheck() {
  {
    cClientUpdate update(DataConnection.get(), "Clients\\Pellomarquin.exe", ProgramFolder, nullptr,
                         nullptr, UpdateProgressBar);
    update.PublicKeyFiles = Trust.UpdatePublicKeys;
    update.Probation = Trust.UpdateProbation;
    if (update.UpdateNeeded) {
      UpdateIndicatorPanel->show();
      update.PerformUpdate();
      if (!HospApplication::Terminated()) UpdateIndicatorPanel->hide();
    }
  }
  if (!HospApplication::Terminated()) RequestInFlight::ReportTimeout(DataConnection.get(), "Error");
}

void TLoginForm::LoginButtonClick() {
  if (RequestInFlight::Active()) return;  // one request at a time
  ShowLoginControls(false);
  QCoreApplication::processEvents();  // paint the label before the query waits

  switch (CheckLogin(ToStdString(UserEdit->text()), ToStdString(PasswordEdit->text()))) {
    case RequestOutcome::Succeeded:
      OpenCaseList();
      break;
    case RequestOutcome::TimedOut:
      ShowLoginControls(true);  // no verdict on the login: it may be tried again
      break;
    case RequestOutcome::Failed:
      HospApplication::Terminate();
      break;
  }
}

// The address goes out exactly as typed, blanks included; so does the password when the
// server is to check it (the line is there even for an empty one).
// The password goes only to a server whose identity is checked: sent to whatever answers,
// it would be anybody's.
RequestOutcome TLoginForm::CheckLogin(const std::string& email, const std::string& password,
                                      const std::string& doctor_seq) {
  if (SendPassword && !Trust.DataServerIdentity.Demanded()) {
    MessageBox::Show(
        "The password is only sent to a verified data server (set Fingerprint or CAFile in "
        "Hosp.ini).",
        "Error");
    return RequestOutcome::Failed;
  }
  NameValueList password_line;
  if (SendPassword) password_line.Add("Password=" + password);
  const RequestOutcome outcome = RequestInFlight::Run(
      DataConnection, "Error",
      [&] {
        return LoginAccepted(DataConnection != nullptr &&
                                 DataConnection->QueryTable("Personnel", 4, email, "", LoginRecord,
                                                            "", "", password_line),
                             password, doctor_seq);
      },
      "Invalid login");
  if (outcome == RequestOutcome::Succeeded) KeepSession(SessionOf(LoginRecord));
  return outcome;
}

// Both connections carry the session from now on (or nothing, when the answer named none).
void TLoginForm::KeepSession(const std::string& session) {
  if (DataConnection) DataConnection->Session = session;
  if (FunctionConnection) FunctionConnection->Session = session;
}

void TLoginForm::ShowForNextLogin() {
  LoginRecord.Clear();
  KeepSession({});
  UserEdit->clear();
  PasswordEdit->clear();
  ShowLoginControls(true);
  show();
  activateWindow();
  UserEdit->setFocus();
}

void TLoginForm::ShowLoginControls(bool shown) {
  UserEdit->setVisible(shown);
  PasswordEdit->setVisible(shown);
  LoginButton->setVisible(shown);
  ConnectingLabel->setVisible(!shown);
  if (shown) LoginButton->setFocus();
}

// A record too short to hold the password and the mark is no login either.
bool TLoginForm::LoginAccepted(bool query_ok, const std::string& password,
                               const std::string& doctor_seq) const {
  return query_ok && LoginRecord.Count() >= kRecordItems &&
         LoginRecord[kPasswordItem] == password &&
         AsciiUpper(LoginRecord[kPhysicianMarkItem]) == "Y" &&
         (doctor_seq.empty() || LoginRecord[kSeqItem] == doctor_seq);
}

// The case list is filled (or its refresh has spoken) before it is shown.
void TLoginForm::OpenCaseList() {
  Form1->DoctorNameLabel->setText(ToQString(LoginRecord[kTitleItem] + " " +
                                            LoginRecord[kFirstNameItem] + " " +
                                            LoginRecord[kLastNameItem]));
  Form1->DoctorNameLabel->adjustSize();
  Form1->DoctorSeq = LoginRecord[kSeqItem];
  Form1->DoctorEmail = ToStdString(UserEdit->text());
  Form1->Settings = Client;
  Form1->RefreshListButtonClick();
  if (dbUserInterface::WaitsCancelled()) return;  // closed while the list was fetched
  Form1->show();
  hide();
  Form1->StartWatches();
}

// The main window: closing it ends the program, at once, even while a request waits for
// its server; that request fails quietly and nothing more goes to the servers.
void TLoginForm::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  dbUserInterface::CancelWaits();
  HospApplication::Terminate();
}
