// Ed25519 signatures of client builds: the publisher's key pair, signing a build, and the
// client's check of a downloaded build against the publisher's public key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class BuildSignature {
 public:
  // A signature is the raw 64-byte Ed25519 signature of the whole build file.
  static constexpr std::size_t kSize = 64;
  // A signature file is never larger: a bigger one is refused without being read, or, on a
  // download, without being taken.
  static constexpr std::size_t kMaxFileSize = 4096;

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
  // The same for two files; false when either cannot be read.
  static bool VerifyFile(const std::string& public_path, const std::string& file_path,
                         const std::string& signature_path);
};
