// Makes the self-signed TLS certificate and key of a new data folder.
#include "admin/Certificate.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "ServerIdentity.h"

namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ExtensionFree {
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};
struct BignumFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

[[noreturn]] void Fail(const std::string& what) {
  const unsigned long code = ERR_get_error();
  char reason[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw std::runtime_error(what + ": " + reason);
}

void SetRandomSerial(X509* certificate) {
  std::unique_ptr<BIGNUM, BignumFree> serial(BN_new());
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
  std::unique_ptr<X509_EXTENSION, ExtensionFree> extension(
      X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
    Fail("cannot add a certificate extension");
  }
}

X509Ptr MakeCertificate(EVP_PKEY* key, const std::string& common_name) {
  X509Ptr certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), 2) != 1) Fail("X509_new");
  SetRandomSerial(certificate.get());
  constexpr long kTenYears = 10L * 365 * 24 * 3600;
  if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kTenYears) == nullptr ||
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

// The key file is created with mode 0600 before anything is written into it.
std::unique_ptr<std::FILE, FileClose> CreateFile(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  std::FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    throw std::runtime_error("cannot open " + path);
  }
  return std::unique_ptr<std::FILE, FileClose>(file);
}

void Finish(std::unique_ptr<std::FILE, FileClose> file, const std::string& path) {
  const bool flushed = std::fflush(file.get()) == 0 && ::fsync(::fileno(file.get())) == 0;
  if (std::fclose(file.release()) != 0 || !flushed)
    throw std::runtime_error("cannot write " + path);
}

}  // namespace

void WriteSelfSignedCertificate(const std::string& certificate_path, const std::string& key_path,
                                const std::string& common_name) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Fail("cannot generate a key");
  const X509Ptr certificate = MakeCertificate(key.get(), common_name);

  auto key_file = CreateFile(key_path, 0600);
  if (PEM_write_PrivateKey(key_file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    Fail("cannot write " + key_path);
  }
  Finish(std::move(key_file), key_path);

  auto certificate_file = CreateFile(certificate_path, 0644);
  if (PEM_write_X509(certificate_file.get(), certificate.get()) != 1) {
    Fail("cannot write " + certificate_path);
  }
  Finish(std::move(certificate_file), certificate_path);
}

std::string CertificateFileFingerprint(const std::string& certificate_path) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(certificate_path.c_str(), "r"));
  if (!file) return {};
  const X509Ptr certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  const auto fingerprint = ServerIdentity::Of(certificate.get());
  return fingerprint ? ServerIdentity::Format(*fingerprint) : std::string();
}
