// Ed25519 signatures of client builds: the publisher's key pair, the signed statement that
// names one build (its hash, size and date), and the client's check of such a statement
// against the publishers' public keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a signature file states about one build. The date is signed with it, so that the
// server cannot offer an older build as a newer one.
struct BuildStatement {
  std::string sha256;  // 64 lower-case hex digits
  std::uint64_t size = 0;
  std::int32_t date = 0;  // packed, as the server announces dates
};

class BuildSignature {
 public:
  // A raw Ed25519 signature.
  static constexpr std::size_t kSize = 64;
  // A signature file is never larger: a bigger one is refused without being read, or, on a
  // download, without being taken.
  static constexpr std::size_t kMaxFileSize = 4096;
  // The first line of a signature file, naming its form.
  static constexpr std::string_view kFormatLine = "hosp-build-statement 1";

  // Writes a new key pair as PEM files: the private key readable by its owner only. Neither
  // file may exist yet. False with the reason in `error`.
  static bool MakeKeyPair(const std::string& private_path, const std::string& public_path,
                          std::string& error);
  // The signature of `bytes` with the private key in `private_path`; empty with the reason
  // in `error` when it cannot be made.
  static std::string Sign(const std::string& private_path, std::string_view bytes,
                          std::string& error);
  // Whether `signature` is a valid signature of `bytes` by the public key in `public_path`.
  // A key that cannot be read, or is no Ed25519 key, verifies nothing.
  static bool Verify(const std::string& public_path, std::string_view bytes,
                     std::string_view signature);

  // The SHA-256 of `bytes` in lower-case hex.
  static std::string Sha256Hex(std::string_view bytes);
  // The signature file's text for `build` dated `date`: the format line, "sha256 HEX",
  // "size N", "date N", then "signature HEX", the signature of the four lines before it.
  // Empty with the reason in `error` when it cannot be made.
  static std::string MakeStatement(const std::string& private_path, std::string_view build,
                                   std::int32_t date, std::string& error);
  // The statement in the file at `path` when it is well formed and signed by one of `keys`.
  static std::optional<BuildStatement> ReadStatement(const std::vector<std::string>& keys,
                                                     const std::string& path);
  // The same without checking who signed it: for a statement that lies where only those who
  // may change the build itself can write.
  static std::optional<BuildStatement> ReadUnverified(const std::string& path);
};
