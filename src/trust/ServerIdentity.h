// What a TLS client may demand of its server's certificate: pinned fingerprints, a trusted
// certificate authority with the server's name, or both. Nothing demanded: nothing checked.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ssl_st;
struct x509_st;

// The SHA-256 digest of a certificate's DER encoding.
using CertificateFingerprint = std::array<unsigned char, 32>;

class ServerIdentity {
 public:
  // Pins the certificates whose fingerprints `text` lists: 64 hex digits each (either case,
  // colons allowed between bytes), several separated by commas with or without blanks.
  // A text with any malformed entry pins nothing that could match, so a typing error fails
  // closed; false then. An empty text demands nothing.
  bool SetFingerprints(std::string_view text);
  // The PEM file of trusted certificates the server's chain must verify against; empty
  // demands nothing. The file is read at each check, so a replaced file counts at once.
  void SetAuthorityFile(std::string path);

  // Whether any check is demanded; without one the socket behaves as it always did.
  bool Demanded() const { return pinned_ || !authority_file_.empty(); }
  const std::string& AuthorityFile() const { return authority_file_; }

  // Checks the certificate presented on the finished handshake of `ssl`: it must match a
  // pin (when pins are set) and verify against the authority file for `host`, a host name
  // or IP address (when that file is set).
  bool Verify(ssl_st* ssl, const std::string& host) const;

  // One fingerprint in the form of the "Fingerprint" key, or nothing.
  static std::optional<CertificateFingerprint> ParseFingerprint(std::string_view text);
  // Upper-case hex digits with colons between the bytes: "AB:12:...".
  static std::string Format(const CertificateFingerprint& fingerprint);
  // The fingerprint of `certificate`, or nothing when it cannot be computed.
  static std::optional<CertificateFingerprint> Of(x509_st* certificate);
  // The fingerprint of the certificate the peer of `ssl` presented, or nothing.
  static std::optional<CertificateFingerprint> OfPeer(ssl_st* ssl);

 private:
  bool MatchesPin(ssl_st* ssl) const;
  bool ChainVerifies(ssl_st* ssl, const std::string& host) const;

  std::vector<CertificateFingerprint> pins_;
  bool pinned_ = false;  // a fingerprint text was given, even one that pins nothing
  std::string authority_file_;
};
