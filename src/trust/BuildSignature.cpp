// Ed25519 signatures of client builds: the publisher's key pair, signing a build, and the
// client's check of a downloaded build against the publisher's public key.
#include "BuildSignature.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "FileIO.h"
#include "OpenSslOwners.h"

namespace {

// The library's reason for the last failure, and an empty error queue afterwards.
std::string LibraryReason() {
  const unsigned long code = ERR_get_error();
  char reason[256] = "no detail";
  if (code != 0) ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  return reason;
}

// No pass phrase is ever asked for on the terminal: an encrypted key simply fails to load.
int NoPassPhrase(char*, int, int, void*) { return -1; }

KeyPointer ReadKey(const std::string& path, bool private_key) {
  KeyPointer key;
  BioPointer in(BIO_new_file(path.c_str(), "r"));
  if (in != nullptr) {
    key.reset(private_key ? PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassPhrase, nullptr)
                          : PEM_read_bio_PUBKEY(in.get(), nullptr, NoPassPhrase, nullptr));
  }
  if (key != nullptr && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

std::string PemText(EVP_PKEY* key, bool private_key) {
  BioPointer out(BIO_new(BIO_s_mem()));
  if (out == nullptr) return {};
  const int written =
      private_key ? PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                  : PEM_write_bio_PUBKEY(out.get(), key);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out.get(), &data);
  return written == 1 && size > 0 ? std::string(data, static_cast<std::size_t>(size))
                                  : std::string();
}

}  // namespace

bool BuildSignature::MakeKeyPair(const std::string& private_path, const std::string& public_path,
                                 std::string& error) {
  KeyPointer key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (key == nullptr) {
    error = "cannot generate an Ed25519 key: " + LibraryReason();
    return false;
  }
  const std::string private_text = PemText(key.get(), true);
  const std::string public_text = PemText(key.get(), false);
  if (private_text.empty() || public_text.empty()) {
    error = "cannot encode the key: " + LibraryReason();
    return false;
  }
  FileWriteFailure failure;
  if (!WriteNewFile(private_path, private_text, FileMode{0600, true}, failure)) {
    error = failure.text;
    return false;
  }
  if (!WriteNewFile(public_path, public_text, FileMode{0644, true}, failure)) {
    error = failure.text;
    ::unlink(private_path.c_str());  // half a pair is of no use
    return false;
  }
  return true;
}

std::string BuildSignature::Sign(const std::string& private_path, std::string_view bytes,
                                 std::string& error) {
  const KeyPointer key = ReadKey(private_path, true);
  if (key == nullptr) {
    ERR_clear_error();
    error = "cannot read an Ed25519 private key (unencrypted PEM) from " + private_path;
    return {};
  }
  DigestContextPointer context(EVP_MD_CTX_new());
  std::string signature(kSize, '\0');
  std::size_t length = signature.size();
  if (context == nullptr ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1 ||
      length != kSize) {
    error = "cannot sign: " + LibraryReason();
    return {};
  }
  return signature;
}

bool BuildSignature::Verify(const std::string& public_path, std::string_view bytes,
                            std::string_view signature) {
  const KeyPointer key = ReadKey(public_path, false);
  DigestContextPointer context(EVP_MD_CTX_new());
  const bool valid =
      key != nullptr && context != nullptr && signature.size() == kSize &&
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) == 1;
  ERR_clear_error();
  return valid;
}

bool BuildSignature::VerifyFile(const std::string& public_path, const std::string& file_path,
                                const std::string& signature_path) {
  std::error_code error;
  const auto signature_size = std::filesystem::file_size(signature_path, error);
  if (error || signature_size > kMaxFileSize) return false;
  std::string bytes;
  std::string signature;
  return ReadWholeFile(file_path, bytes) && ReadWholeFile(signature_path, signature) &&
         Verify(public_path, bytes, signature);
}
