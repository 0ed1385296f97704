// The opt-in trust keys of "Hosp.ini": how the data server (and the function server, when it
// is reached over TLS) must prove who it is, and the public keys that sign client builds. With
// none of them set, nothing is checked.
#pragma once

#include <string>
#include <vector>

#include "IniFile.h"
#include "ServerIdentity.h"

struct TrustSettings {
  // "DataServer": "Fingerprint" and "CAFile".
  ServerIdentity DataServerIdentity;
  // False when "Fingerprint" is set but malformed; the identity then matches no server.
  bool FingerprintWellFormed = true;
  // "FunctionServer": "Secure=Y" puts the function server's connection on TLS, which then
  // demands "Fingerprint" and "CAFile" of that section.
  bool FunctionServerSecure = false;
  ServerIdentity FunctionServerIdentity;
  bool FunctionFingerprintWellFormed = true;
  // "Update": "PublicKey", a comma-separated list of key files, each as a path usable from any
  // working folder; empty when not set. A build signed with any one of them verifies.
  std::vector<std::string> UpdatePublicKeys;
  // "Update": "Probation", the seconds a newly installed build has to show its login window
  // before the previous build is put back; 0 (not set, or not a whole number from 1 to 3600):
  // no probation.
  int UpdateProbation = 0;

  // Reads the keys from `ini`; relative paths are taken from the folder of that file.
  static TrustSettings Read(const IniFile& ini);
  // `path` as it stands when absolute (or empty), else joined to `folder`.
  static std::string Beside(const std::string& folder, const std::string& path);
};
