// The data server's certificate and key under the server's TLS profile, reloadable while serving.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;

class TlsCredentials {
 public:
  // Loads the PEM certificate (with any intermediates after it) and its key. Throws
  // std::runtime_error with the reason when they do not load or do not match.
  TlsCredentials(std::filesystem::path certificate, std::filesystem::path key);

  // The context a new connection uses; the connection holds it for its whole life, so that a
  // reload changes nothing for connections already open.
  std::shared_ptr<ssl_ctx_st> Current() const;
  // Loads both files again and uses them for new connections. Throws std::runtime_error with
  // the reason, and keeps the old pair, when they do not load or do not match.
  void Reload();
  // The SHA-256 fingerprint of the certificate in use, "AB:12:...".
  std::string Fingerprint() const;

 private:
  std::shared_ptr<ssl_ctx_st> Load() const;

  std::filesystem::path certificate_;
  std::filesystem::path key_;
  mutable std::mutex mutex_;
  std::shared_ptr<ssl_ctx_st> current_;
};

// The protocol versions, suites and groups of the data server (TLS 1.2 and 1.3; for TLS 1.2
// only forward-secret AEAD suites, the server's order first). Throws std::runtime_error.
void ApplyServerTlsProfile(ssl_ctx_st* context);
