// Owners of OpenSSL objects: a std::unique_ptr for each type, freed with the library's own call.
// Here in trust, the lowest layer that uses OpenSSL, so that trust, net, the servers, the tests
// and the benchmarks include the same one; each of them links OpenSSL itself, as trust keeps
// it private.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

// Frees each object below with the call the library names for its type.
struct OpenSslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
  void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(BIGNUM* number) const { BN_free(number); }
};

using SslPointer = std::unique_ptr<SSL, OpenSslFree>;
using SslContextPointer = std::unique_ptr<SSL_CTX, OpenSslFree>;
using X509Pointer = std::unique_ptr<X509, OpenSslFree>;
using X509ExtensionPointer = std::unique_ptr<X509_EXTENSION, OpenSslFree>;
using X509StorePointer = std::unique_ptr<X509_STORE, OpenSslFree>;
using X509StoreContextPointer = std::unique_ptr<X509_STORE_CTX, OpenSslFree>;
using KeyPointer = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using DigestContextPointer = std::unique_ptr<EVP_MD_CTX, OpenSslFree>;
using KdfPointer = std::unique_ptr<EVP_KDF, OpenSslFree>;
using KdfContextPointer = std::unique_ptr<EVP_KDF_CTX, OpenSslFree>;
using MacPointer = std::unique_ptr<EVP_MAC, OpenSslFree>;
using MacContextPointer = std::unique_ptr<EVP_MAC_CTX, OpenSslFree>;
using BioPointer = std::unique_ptr<BIO, OpenSslFree>;
using BignumPointer = std::unique_ptr<BIGNUM, OpenSslFree>;
