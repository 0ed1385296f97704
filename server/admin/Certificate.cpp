// Makes the self-signed TLS certificate and key of a new data folder.
#include "admin/Certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "FileIO.h"
#include "OpenSslOwners.h"
#include "ServerIdentity.h"

namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char reason[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw std::runtime_error(what + ": " + reason);
}

void SetRandomSerial(X509* certificate) {
  BignumPointer serial(BN_new());
  if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) == nullptr) {
    Fail("cannot make a serial number");
  }
}

void SetSubject(X509* certificate, const std::string& common_name) {
  X509_NAME* name = X509_get_subject_name(certificate);
  const auto add = [name](const char* field, const std::string& value) {
    if (X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0) != 1) {
      Fail("cannot set the certificate name");
    }
  };
  add("O", "Hospital reference servers");
  add("CN", common_name);
  if (X509_set_issuer_name(certificate, name) != 1) Fail("cannot set the issuer");
}

void AddExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509ExtensionPointer extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
    Fail("cannot add a certificate extension");
  }
}

X509Pointer MakeCertificate(EVP_PKEY* key, const std::string& common_name, int days) {
  X509Pointer certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), 2) != 1) Fail("X509_new");
  SetRandomSerial(certificate.get());
  if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate.get()), days * 86400L) == nullptr ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    Fail("cannot set the certificate's validity or key");
  }
  SetSubject(certificate.get(), common_name);
  AddExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyAgreement");
  AddExtension(certificate.get(), NID_ext_key_usage, "serverAuth");
  AddExtension(certificate.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  if (X509_sign(certificate.get(), key, EVP_sha256()) == 0) Fail("cannot sign the certificate");
  return certificate;
}

// The PEM text `write` puts into a memory BIO; a failure is reported as writing `path`.
template <typename Write>
std::string PemText(const std::string& path, Write write) {
  const BioPointer out(BIO_new(BIO_s_mem()));
  if (!out || write(out.get()) != 1) Fail("cannot write " + path);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<std::size_t>(std::max(size, 0L)));
}

// Creates `path` with `mode` narrowed by the umask, as open() gives it: the key file is never
// readable by others, not even for a moment.
void WriteNew(const std::string& path, const std::string& text, mode_t mode) {
  FileWriteFailure failure;
  if (!WriteNewFile(path, text, FileMode{mode, false}, failure)) {
    const bool creating = failure.step == FileWriteFailure::Step::Create;
    throw std::runtime_error((creating ? "cannot create " : "cannot write ") + path);
  }
}

}  // namespace

void WriteSelfSignedCertificate(const std::string& certificate_path, const std::string& key_path,
                                const std::string& common_name, int days) {
  KeyPointer key(EVP_EC_gen("P-256"));
  if (!key) Fail("cannot generate a key");
  const X509Pointer certificate = MakeCertificate(key.get(), common_name, days);

  const std::string key_text = PemText(key_path, [&](BIO* out) {
    return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  WriteNew(key_path, key_text, 0600);
  const std::string certificate_text = PemText(
      certificate_path, [&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()); });
  WriteNew(certificate_path, certificate_text, 0644);
}

std::string CertificateFileFingerprint(const std::string& certificate_path) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(certificate_path.c_str(), "r"));
  if (!file) return {};
  const X509Pointer certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  const auto fingerprint = ServerIdentity::Of(certificate.get());
  return fingerprint ? ServerIdentity::Format(*fingerprint) : std::string();
}
