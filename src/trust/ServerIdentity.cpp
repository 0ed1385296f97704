// What a TLS client may demand of its server's certificate: pinned fingerprints, a trusted
// certificate authority with the server's name, or both.
#include "ServerIdentity.h"

#include <algorithm>
#include <memory>

#include <arpa/inet.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "OpenSslOwners.h"

namespace {

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// Names the server must carry: an address is compared with the certificate's IP entries,
// a name with its DNS entries by the usual rules (a wildcard only as the whole first label).
bool ExpectHost(X509_VERIFY_PARAM* param, const std::string& host) {
  if (host.empty()) return false;
  if (IsIpAddress(host)) return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  // A name is checked against the DNS alternative names only, never the subject's common
  // name, as current practice demands.
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
}

}  // namespace

bool ServerIdentity::SetFingerprints(std::string_view text) {
  pins_.clear();
  text = TrimBlanks(text);
  pinned_ = !text.empty();
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = TrimBlanks(text.substr(0, comma));
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    const auto fingerprint = ParseFingerprint(entry);
    if (!fingerprint) {
      pins_.clear();
      return false;
    }
    pins_.push_back(*fingerprint);
  }
  return !pinned_ || !pins_.empty();
}

void ServerIdentity::SetAuthorityFile(std::string path) { authority_file_ = std::move(path); }

bool ServerIdentity::Verify(ssl_st* ssl, const std::string& host) const {
  if (ssl == nullptr || SSL_get0_peer_certificate(ssl) == nullptr) return false;
  const bool verified =
      (!pinned_ || MatchesPin(ssl)) && (authority_file_.empty() || ChainVerifies(ssl, host));
  ERR_clear_error();  // the reasons of a refusal go no further than the refusal itself
  return verified;
}

bool ServerIdentity::MatchesPin(ssl_st* ssl) const {
  const auto presented = OfPeer(ssl);
  return presented && std::find(pins_.begin(), pins_.end(), *presented) != pins_.end();
}

// The chain the server sent, checked against the trusted certificates alone (not the
// system's store): dates, signatures, the server purpose and the name.
bool ServerIdentity::ChainVerifies(ssl_st* ssl, const std::string& host) const {
  X509StorePointer store(X509_STORE_new());
  if (store == nullptr || X509_STORE_load_file(store.get(), authority_file_.c_str()) != 1) {
    return false;
  }
  X509StoreContextPointer context(X509_STORE_CTX_new());
  if (context == nullptr ||
      X509_STORE_CTX_init(context.get(), store.get(), SSL_get0_peer_certificate(ssl),
                          SSL_get_peer_cert_chain(ssl)) != 1 ||
      X509_STORE_CTX_set_default(context.get(), "ssl_server") != 1 ||
      !ExpectHost(X509_STORE_CTX_get0_param(context.get()), host)) {
    return false;
  }
  return X509_verify_cert(context.get()) == 1;
}

std::optional<CertificateFingerprint> ServerIdentity::ParseFingerprint(std::string_view text) {
  CertificateFingerprint fingerprint{};
  std::size_t digits = 0;
  bool after_colon = false;
  for (char c : text) {
    if (c == ':') {
      // Only between two bytes: not first, not last, not twice, not inside a byte.
      if (digits == 0 || digits % 2 != 0 || after_colon) return std::nullopt;
      after_colon = true;
      continue;
    }
    const int value = HexValue(c);
    if (value < 0 || digits == 2 * fingerprint.size()) return std::nullopt;
    fingerprint[digits / 2] = static_cast<unsigned char>(fingerprint[digits / 2] * 16 + value);
    ++digits;
    after_colon = false;
  }
  if (digits != 2 * fingerprint.size() || after_colon) return std::nullopt;
  return fingerprint;
}

std::string ServerIdentity::Format(const CertificateFingerprint& fingerprint) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char byte : fingerprint) {
    if (!text.empty()) text += ':';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

std::optional<CertificateFingerprint> ServerIdentity::Of(x509_st* certificate) {
  CertificateFingerprint fingerprint{};
  unsigned int length = 0;
  if (certificate == nullptr ||
      X509_digest(certificate, EVP_sha256(), fingerprint.data(), &length) != 1 ||
      length != fingerprint.size()) {
    ERR_clear_error();
    return std::nullopt;
  }
  return fingerprint;
}

std::optional<CertificateFingerprint> ServerIdentity::OfPeer(ssl_st* ssl) {
  return ssl == nullptr ? std::nullopt : Of(SSL_get0_peer_certificate(ssl));
}
