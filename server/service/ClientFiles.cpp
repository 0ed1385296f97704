// The client builds a data server offers: names like "Clients\Pellomarquin.exe" mapped into
// the data folder's Clients folder, and nothing outside it.
#include "service/ClientFiles.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <vector>

#include "FileDate.h"
#include "Log.h"
#include "NameValueList.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string_view> SplitParts(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '\\' || name[i] == '/') {
      parts.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

bool IsSafePart(std::string_view part) {
  if (part.empty() || part == "." || part == "..") return false;
  for (const char c : part) {
    if (static_cast<unsigned char>(c) < 32 || c == 127 || c == ':') return false;
  }
  return true;
}

// True when `path` is `folder` itself or lies below it (both canonical).
bool IsInside(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

}  // namespace

ClientFiles::ClientFiles(fs::path data_dir) : clients_dir_(std::move(data_dir) / "Clients") {}

std::optional<fs::path> ClientFiles::MapName(std::string_view remote_name) {
  const std::vector<std::string_view> parts = SplitParts(remote_name);
  if (parts.size() < 2 || !EqualsIgnoreCase(parts[0], "Clients")) return std::nullopt;
  fs::path relative;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (!IsSafePart(parts[i])) return std::nullopt;
    relative /= std::string(parts[i]);
  }
  return relative;
}

std::optional<ClientFile> ClientFiles::Open(std::string_view remote_name,
                                            std::string& error) const {
  const auto relative = MapName(remote_name);
  if (!relative) {
    error = "Refused file name " + Excerpt(remote_name);
    return std::nullopt;
  }
  // Symbolic links inside the folder may point elsewhere: the resolved path must stay inside.
  std::error_code ec;
  const fs::path folder = fs::canonical(clients_dir_, ec);
  const fs::path path = ec ? fs::path() : fs::canonical(clients_dir_ / *relative, ec);
  if (ec || !IsInside(path, folder)) {
    error =
        ec ? "No such file " + Excerpt(remote_name) : "Refused file name " + Excerpt(remote_name);
    return std::nullopt;
  }
  ClientFile file;
  file.fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat info {};
  if (!file.fd.Valid() || ::fstat(file.fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "No such file " + Excerpt(remote_name);
    return std::nullopt;
  }
  if (info.st_size > INT32_MAX) {
    error = "File too large " + Excerpt(remote_name);
    return std::nullopt;
  }
  file.size = static_cast<std::int32_t>(info.st_size);
  file.packed_date = PackDosDate(info.st_mtime);
  return file;
}
