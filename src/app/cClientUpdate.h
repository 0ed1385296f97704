// The client's self-update: installs a newer build offered by the data server and starts it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <QMetaObject>

class QAbstractButton;
class QProgressBar;
class QWidget;
class dbServerConnection;

class cClientUpdate {
 public:
  // Stores the arguments (none of them owned) and asks the server for the date of
  // `remote_file`; shows the indicator and the button when that build is newer and this
  // client installs its own builds (not in a folder of another user's, nor beside the update
  // service's program, which installs them there).
  cClientUpdate(dbServerConnection* connection, std::string remote_file, std::string local_folder,
                QWidget* indicator, QAbstractButton* update_button, QProgressBar* progress_bar);
  // Hides the indicator, the button and the progress bar, each if given.
  ~cClientUpdate();
  cClientUpdate(const cClientUpdate&) = delete;
  cClientUpdate& operator=(const cClientUpdate&) = delete;

  // Downloads the new build as Base.tmp, keeps the running one as Base.bak, puts the
  // download in its place, starts it and asks the application to end. A failed
  // download returns silently; a failed rename tells the user what to finish by hand.
  void PerformUpdate();

  dbServerConnection* Connection;
  QWidget* Indicator;
  QAbstractButton* UpdateButton;
  QProgressBar* ProgressBar;
  std::string LocalFolder;
  std::string RemoteFile;
  std::string ExeName;
  std::int32_t LocalAge;
  bool UpdateNeeded;
  // The publishers' Ed25519 public keys (PEM files); one of them must have signed. When set, a
  // downloaded build is installed only with a valid signed statement, downloaded from beside it on
  // the server, that names it, the announced date and size, and a date later than the running
  // build's; empty: no check.
  std::vector<std::string> PublicKeyFiles;
  // Seconds the new build has to show its login window once installed; 0: none. Within it
  // this build waits; a new build that ends first or sends no sign in time is ended, the
  // previous build put back and started, and the new build's date remembered, so that it is
  // not installed again.
  int Probation = 0;

  // Called by the login window when it is first shown: tells the build that installed this
  // one, when it waits for the sign, that the window is up. Does nothing otherwise.
  static void ReportStarted();

 private:
  void ShowAvailable();
  bool Download(const std::string& base);
  bool VerifyDownload();
  bool SwapBuilds(const std::string& base);
  void ReportRenameError(const std::string& text);
  void Restart();
  bool StartsWithinProbation();
  void RollBack();

  // The button's click runs PerformUpdate on this object; cut when the object goes.
  QMetaObject::Connection UpdateClick;
  // What the server announced for RemoteFile: the signed statement must name the same.
  std::int32_t OfferedDate = 0;
  std::int32_t OfferedSize = 0;
};
