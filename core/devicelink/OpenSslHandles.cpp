#include "core/devicelink/OpenSslHandles.h"

#include <openssl/pem.h>

#include <climits>

namespace KVO_Core::openssl {

namespace {

// Stands in for OpenSSL's default, which would prompt on the terminal for an encrypted key.
int refuse_pass_phrase(char*, int, int, void*) { return -1; }

}  // namespace

Bio memory_reader(std::string_view text) {
  if (text.size() > INT_MAX) return nullptr;
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

Certificate read_certificate(std::string_view text) {
  Bio bio = memory_reader(text);
  if (!bio) return nullptr;
  return Certificate(PEM_read_bio_X509(bio.get(), nullptr, refuse_pass_phrase, nullptr));
}

Pkey read_private_key(std::string_view text) {
  Bio bio = memory_reader(text);
  if (!bio) return nullptr;
  return Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_pass_phrase, nullptr));
}

}  // namespace KVO_Core::openssl
