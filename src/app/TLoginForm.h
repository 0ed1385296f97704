// The login window: reads "Hosp.ini", opens both server connections after its first paint
// and logs the physician in.
#pragma once

#include <string>

#include <QWidget>

#include "ClientSettings.h"
#include "RequestInFlight.h"
#include "TrustSettings.h"

class LabeledEdit;
class QLabel;
class QProgressBar;
class QPushButton;

class TLoginForm : public QWidget {
  Q_OBJECT
 public:
  explicit TLoginForm(QWidget* parent = nullptr);

  // Runs on every paint; on the first one it arranges the connection sequence to run as
  // soon as the paint has finished (a modal box cannot open inside a paint).
  void FormPaint();
  // The connection sequence: both servers, then the update check. Runs once.
  void RunFirstPaintSequence();
  // Offers a newer build of the client and installs it; runs after both connections.
  void RunUpdateCheck();
  // Reads the server values from "Hosp.ini" in ProgramFolder; missing ones are empty (no
  // time limit for the timeouts).
  void ReadConfiguration();
  // "Log In": queries the physician's record and opens the case list, or ends the program.
  // A data server that did not answer in time is reported, and the login can be tried again.
  void LoginButtonClick();
  // Queries the record of `email` and checks `password` against it, as "Log In" does (with
  // the SendPassword rule); with `doctor_seq`, the record must also be that physician's. A
  // refusal is reported as "Invalid login", a server that did not answer in time by name.
  RequestOutcome CheckLogin(const std::string& email, const std::string& password,
                            const std::string& doctor_seq = {});
  // Offers the login again, to the next physician: both fields empty, the record forgotten.
  void ShowForNextLogin();

  // The server addresses from "Hosp.ini", as texts.
  std::string DataServerIP;
  std::string DataServerPort;
  std::string FunctionServerIP;
  std::string FunctionServerPort;
  // "SendPassword=Y" in "DataServer": the login's query carries the typed password, for a
  // server that checks it itself before it answers.
  bool SendPassword = false;
  // The opt-in checks of the data server's identity and of new builds; none by default.
  TrustSettings Trust;
  // "Timeout" of each section: seconds for each wait on that server, -1 for no limit.
  int DataServerTimeout = -1;
  int FunctionServerTimeout = -1;
  // Section "Client": the idle lock and the case list's own refresh; both off by default.
  ClientSettings Client;

  LabeledEdit* UserEdit;
  LabeledEdit* PasswordEdit;
  QPushButton* LoginButton;
  QLabel* ConnectingLabel;
  QLabel* UpdateIndicatorPanel;
  QLabel* Label6;
  QProgressBar* UpdateProgressBar;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildUpdatePanel();
  void ConnectDataServer();
  void ConnectFunctionServer();
  void KeepSession(const std::string& session);
  bool LoginAccepted(bool query_ok, const std::string& password,
                     const std::string& doctor_seq) const;
  void ShowLoginControls(bool shown);
  void OpenCaseList();
};
