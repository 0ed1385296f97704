// The opt-in trust keys of "Hosp.ini": how the data server (and the function server, when it
// is reached over TLS) must prove who it is, and the public key that signs client builds. With none
// of them set, nothing is checked.
#pragma once

#include <string>

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
  // "Update": "PublicKey", as a path usable from any working folder; empty when not set.
  std::string UpdatePublicKey;

  // Reads the keys from `ini`; relative paths are taken from the folder of that file.
  static TrustSettings Read(const IniFile& ini);
  // `path` as it stands when absolute (or empty), else joined to `folder`.
  static std::string Beside(const std::string& folder, const std::string& path);
};
