// The opt-in trust keys of "Hosp.ini": how the data server must prove who it is, and the
// public key that signs client builds.
#include "TrustSettings.h"

#include <charconv>

namespace {

constexpr int kMostProbation = 3600;

}  // namespace

TrustSettings TrustSettings::Read(const IniFile& ini) {
  const std::string& ini_folder = ini.Folder();
  TrustSettings settings;
  settings.FingerprintWellFormed =
      settings.DataServerIdentity.SetFingerprints(ini.Read("DataServer", "Fingerprint"));
  settings.DataServerIdentity.SetAuthorityFile(
      Beside(ini_folder, ini.Read("DataServer", "CAFile")));
  const std::string probation = ini.Read("Update", "Probation");
  int seconds = 0;
  const auto [stop, error] =
      std::from_chars(probation.data(), probation.data() + probation.size(), seconds);
  if (error == std::errc() && stop == probation.data() + probation.size() && seconds >= 1 &&
      seconds <= kMostProbation) {
    settings.UpdateProbation = seconds;
  }
  const std::string keys = ini.Read("Update", "PublicKey");
  for (std::size_t start = 0; start <= keys.size();) {
    std::size_t end = keys.find(',', start);
    if (end == std::string::npos) end = keys.size();
    const std::size_t first = keys.find_first_not_of(" \t", start);
    const std::size_t last = keys.find_last_not_of(" \t", end - 1);
    if (first < end && last != std::string::npos && last >= first) {
      settings.UpdatePublicKeys.push_back(Beside(ini_folder, keys.substr(first, last + 1 - first)));
    }
    start = end + 1;
  }
  settings.FunctionServerSecure = ini.Read("FunctionServer", "Secure") == "Y";
  settings.FunctionFingerprintWellFormed =
      settings.FunctionServerIdentity.SetFingerprints(ini.Read("FunctionServer", "Fingerprint"));
  settings.FunctionServerIdentity.SetAuthorityFile(
      Beside(ini_folder, ini.Read("FunctionServer", "CAFile")));
  return settings;
}

std::string TrustSettings::Beside(const std::string& folder, const std::string& path) {
  if (path.empty() || path.front() == '/' || folder.empty()) return path;
  return folder.back() == '/' ? folder + path : folder + "/" + path;
}
