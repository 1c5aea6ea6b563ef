// The device link's OpenSSL handles and its readers of PEM text.
#pragma once

#include <string_view>

#include "utilities/OpenSslHandles.h"

namespace KVO_Core::openssl {

using Utilities::openssl::Asn1Integer;
using Utilities::openssl::Bignum;
using Utilities::openssl::Bio;
using Utilities::openssl::Certificate;
using Utilities::openssl::Name;
using Utilities::openssl::Pkey;
using Utilities::openssl::Ssl;
using Utilities::openssl::SslCtx;

// A read-only memory BIO over `text`, which must outlive it.
Bio memory_reader(std::string_view text);
// The certificate in PEM `text`; null when it does not parse.
Certificate read_certificate(std::string_view text);
// The private key in PEM `text`; null when it does not parse. An encrypted key is refused
// without asking anyone for a pass phrase.
Pkey read_private_key(std::string_view text);

}  // namespace KVO_Core::openssl
