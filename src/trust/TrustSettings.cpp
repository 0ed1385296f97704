// The opt-in trust keys of "Hosp.ini": how the data server must prove who it is, and the
// public key that signs client builds.
#include "TrustSettings.h"

TrustSettings TrustSettings::Read(const IniFile& ini) {
  const std::string& ini_folder = ini.Folder();
  TrustSettings settings;
  settings.FingerprintWellFormed =
      settings.DataServerIdentity.SetFingerprints(ini.Read("DataServer", "Fingerprint"));
  settings.DataServerIdentity.SetAuthorityFile(
      Beside(ini_folder, ini.Read("DataServer", "CAFile")));
  settings.FunctionServerSecure = ini.Read("FunctionServer", "Secure") == "Y";
  settings.FunctionFingerprintWellFormed =
      settings.FunctionServerIdentity.SetFingerprints(ini.Read("FunctionServer", "Fingerprint"));
  settings.FunctionServerIdentity.SetAuthorityFile(
      Beside(ini_folder, ini.Read("FunctionServer", "CAFile")));
  settings.UpdatePublicKey = Beside(ini_folder, ini.Read("Update", "PublicKey"));
  return settings;
}

std::string TrustSettings::Beside(const std::string& folder, const std::string& path) {
  if (path.empty() || path.front() == '/' || folder.empty()) return path;
  return folder.back() == '/' ? folder + path : folder + "/" + path;
}
