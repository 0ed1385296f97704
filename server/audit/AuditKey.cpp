// The secret key the audit trail is signed with: a file of its own, never in the database.
#include "audit/AuditKey.h"

#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "FileIO.h"
#include "HexText.h"

namespace {

constexpr std::size_t kKeyBytes = 32;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

AuditKey AuditKey::Load(const std::filesystem::path& path) {
  std::string text;
  errno = 0;
  if (!ReadWholeFile(path.string(), text)) {
    throw std::runtime_error("cannot read the audit key " + path.string() + ": " +
                             (errno != 0 ? std::strerror(errno) : "not a readable file"));
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size() && text.size() == 2 * kKeyBytes; i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  if (bytes.size() != kKeyBytes) {
    throw std::runtime_error("the audit key " + path.string() + " is not 64 hexadecimal digits");
  }
  return AuditKey(std::move(bytes));
}

void AuditKey::Create(const std::filesystem::path& path) {
  unsigned char bytes[kKeyBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    throw std::runtime_error("no random bytes for the audit key");
  }
  const std::string text = HexText({reinterpret_cast<const char*>(bytes), sizeof bytes}) + '\n';
  FileWriteFailure failure;
  if (!WriteNewFile(path.string(), text, FileMode{0600, true}, failure)) {
    throw std::runtime_error(failure.text);
  }
}

AuditKey AuditKey::ForServer(const std::filesystem::path& data_dir, const std::string& named,
                             bool& created) {
  created = false;
  if (!named.empty()) return Load(named);
  const std::filesystem::path path = data_dir / kFileName;
  std::error_code error;
  if (!std::filesystem::exists(path, error)) {
    try {
      Create(path);
      created = true;
    } catch (const std::runtime_error&) {
      // A second server starting on the same folder at the same moment made it first.
      if (!std::filesystem::exists(path, error)) throw;
    }
  }
  return Load(path);
}
