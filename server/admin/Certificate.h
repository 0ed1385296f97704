// Makes the self-signed TLS certificate and key of a new data folder.
#pragma once

#include <string>

// A new certificate's lifetime unless the administrator gives one (`init --cert-days`).
constexpr int kCertificateDays = 3650;

// Writes a new P-256 key (PEM, readable by the owner only) and a self-signed certificate for
// `common_name`, valid for localhost and 127.0.0.1 for `days` days. Throws std::runtime_error.
void WriteSelfSignedCertificate(const std::string& certificate_path, const std::string& key_path,
                                const std::string& common_name, int days = kCertificateDays);

// The SHA-256 fingerprint of the PEM certificate at `certificate_path`, in the form the
// client's "Fingerprint" key takes ("AB:12:..."); empty when the file cannot be read.
std::string CertificateFileFingerprint(const std::string& certificate_path);
