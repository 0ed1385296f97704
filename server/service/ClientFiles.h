// The client builds a data server offers: names like "Clients\Pellomarquin.exe" mapped into
// the data folder's Clients folder, and nothing outside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "UniqueFd.h"

struct ClientFile {
  UniqueFd fd;                    // open for reading
  std::int32_t size = 0;          // bytes; files of 2 GiB and more are refused
  std::uint32_t packed_date = 0;  // last-write time as a packed MS-DOS local date
};

class ClientFiles {
 public:
  explicit ClientFiles(std::filesystem::path data_dir);

  // Opens the file the client names. On refusal or absence returns nothing and puts the
  // reason into `error`.
  std::optional<ClientFile> Open(std::string_view remote_name, std::string& error) const;

  // The path below the Clients folder that a remote name stands for: the first part must be
  // "Clients" (any letter case), the parts are split at "\" or "/", and no part may be empty,
  // "." or "..", or hold a control character or a colon. Nothing for any other name.
  static std::optional<std::filesystem::path> MapName(std::string_view remote_name);

 private:
  std::filesystem::path clients_dir_;
};
