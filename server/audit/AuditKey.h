// The secret key the audit trail is signed with: a file of its own, never in the database.
#pragma once

#include <filesystem>
#include <string>
#include <utility>

class AuditKey {
 public:
  // The key's file in a data folder.
  static constexpr const char* kFileName = "audit.key";

  // Reads a key file (64 hexadecimal digits, a line end allowed). Throws std::runtime_error
  // naming the file and what is wrong with it.
  static AuditKey Load(const std::filesystem::path& path);
  // Writes a new random key to `path`, which must not exist, readable by its owner only.
  // Throws std::runtime_error when it cannot.
  static void Create(const std::filesystem::path& path);
  // The key a server signs with: the file named by --audit-key (`named`), which must be
  // readable, or audit.key in `data_dir`, made when missing (then `created` is set), as for a
  // data folder from before the trail. Throws std::runtime_error.
  static AuditKey ForServer(const std::filesystem::path& data_dir, const std::string& named,
                            bool& created);

  // The raw 32 bytes.
  const std::string& Bytes() const { return bytes_; }

 private:
  explicit AuditKey(std::string bytes) : bytes_(std::move(bytes)) {}

  std::string bytes_;
};
