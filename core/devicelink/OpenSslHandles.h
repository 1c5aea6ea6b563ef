// Owning handles for the OpenSSL objects of the device link: each is freed exactly once.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace KVO_Core::openssl {

struct BioFree {
  void operator()(BIO* p) const { BIO_free_all(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct X509NameFree {
  void operator()(X509_NAME* p) const { X509_NAME_free(p); }
};
struct BignumFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
struct Asn1IntegerFree {
  void operator()(ASN1_INTEGER* p) const { ASN1_INTEGER_free(p); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};

using Bio = std::unique_ptr<BIO, BioFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using Name = std::unique_ptr<X509_NAME, X509NameFree>;
using Bignum = std::unique_ptr<BIGNUM, BignumFree>;
using Asn1Integer = std::unique_ptr<ASN1_INTEGER, Asn1IntegerFree>;
using SslCtx = std::unique_ptr<SSL_CTX, SslCtxFree>;
using Ssl = std::unique_ptr<SSL, SslFree>;

// A read-only memory BIO over `text`, which must outlive it.
Bio memory_reader(std::string_view text);
// The certificate in PEM `text`; null when it does not parse.
Certificate read_certificate(std::string_view text);
// The private key in PEM `text`; null when it does not parse. An encrypted key is refused
// without asking anyone for a pass phrase.
Pkey read_private_key(std::string_view text);

}  // namespace KVO_Core::openssl
