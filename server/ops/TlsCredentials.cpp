// The data server's certificate and key under the server's TLS profile, reloadable while serving.
#include "ops/TlsCredentials.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

#include "OpenSslOwners.h"
#include "ServerIdentity.h"

namespace {

// TLS 1.2: ephemeral key exchange and AEAD only, the strongest-per-cost first. TLS 1.3's three
// suites (AES-GCM and ChaCha20-Poly1305) are all of this kind already.
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:P-256:P-384";
constexpr unsigned char kSessionIdContext[] = "hospd";

// The library's own reason for the last failure, e.g. "key values mismatch".
std::string OpenSslReason() {
  const unsigned long code = ERR_peek_error();  // the first: the cause, not its consequences
  ERR_clear_error();
  if (code == 0) return "unknown reason";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(code);
}

// An encrypted key fails to load instead of OpenSSL asking for its pass phrase on the
// terminal, which would hold up the start, or the serving loop at a reload.
int NoPassPhrase(char* /*buffer*/, int /*size*/, int /*direction*/, void* /*user_data*/) {
  return 0;
}

}  // namespace

void ApplyServerTlsProfile(ssl_ctx_st* context) {
  const bool applied =
      SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
      SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1 &&
      SSL_CTX_set_cipher_list(context, kTls12Suites) == 1 &&
      SSL_CTX_set_ciphersuites(context, kTls13Suites) == 1 &&
      SSL_CTX_set1_groups_list(context, kGroups) == 1 &&
      // DHE with the library's groups of a size that matches the certificate's strength.
      SSL_CTX_set_dh_auto(context, 1) == 1 &&
      SSL_CTX_set_session_id_context(context, kSessionIdContext, sizeof kSessionIdContext - 1) == 1;
  if (!applied) throw std::runtime_error("cannot set the TLS profile: " + OpenSslReason());
  SSL_CTX_set_options(
      context, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  // OpenSSL's record buffers are freed while a connection waits for its next request, which
  // is where most connections are most of the time: 8 KiB less per idle connection, measured.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
}

TlsCredentials::TlsCredentials(std::filesystem::path certificate, std::filesystem::path key)
    : certificate_(std::move(certificate)), key_(std::move(key)), current_(Load()) {}

std::shared_ptr<ssl_ctx_st> TlsCredentials::Load() const {
  SslContextPointer context(SSL_CTX_new(TLS_server_method()));
  if (!context) throw std::runtime_error("cannot create a TLS context: " + OpenSslReason());
  if (SSL_CTX_use_certificate_chain_file(context.get(), certificate_.c_str()) != 1) {
    throw std::runtime_error("cannot load the certificate " + certificate_.string() + ": " +
                             OpenSslReason());
  }
  SSL_CTX_set_default_passwd_cb(context.get(), NoPassPhrase);
  // Loaded after the certificate, the key is checked against it.
  if (SSL_CTX_use_PrivateKey_file(context.get(), key_.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("cannot load the key " + key_.string() + " for the certificate " +
                             certificate_.string() + ": " + OpenSslReason());
  }
  ApplyServerTlsProfile(context.get());
  return std::shared_ptr<ssl_ctx_st>(context.release(), SSL_CTX_free);
}

std::shared_ptr<ssl_ctx_st> TlsCredentials::Current() const {
  const std::lock_guard lock(mutex_);
  return current_;
}

void TlsCredentials::Reload() {
  std::shared_ptr<ssl_ctx_st> loaded = Load();
  const std::lock_guard lock(mutex_);
  current_ = std::move(loaded);
}

std::string TlsCredentials::Fingerprint() const {
  const auto fingerprint = ServerIdentity::Of(SSL_CTX_get0_certificate(Current().get()));
  return fingerprint ? ServerIdentity::Format(*fingerprint) : std::string();
}
