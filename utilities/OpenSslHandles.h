// Owning handles for OpenSSL objects: each is freed exactly once, by the function that frees
// its kind.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace Utilities::openssl {

template <auto free_function>
struct Free {
  template <class T>
  void operator()(T* p) const {
    free_function(p);
  }
};

using Bio = std::unique_ptr<BIO, Free<BIO_free_all>>;
using Pkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Free<EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Free<EVP_KDF_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Free<EVP_CIPHER_CTX_free>>;
using Certificate = std::unique_ptr<X509, Free<X509_free>>;
using Name = std::unique_ptr<X509_NAME, Free<X509_NAME_free>>;
using Bignum = std::unique_ptr<BIGNUM, Free<BN_free>>;
using Asn1Integer = std::unique_ptr<ASN1_INTEGER, Free<ASN1_INTEGER_free>>;
using SslCtx = std::unique_ptr<SSL_CTX, Free<SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Free<SSL_free>>;

}  // namespace Utilities::openssl
