#include "core/crypto/ComparingBuffer.h"

#include <cstring>

#include "core/crypto/Age.h"

namespace KVO_Core::target_encryption {

ComparingBuffer::ComparingBuffer(std::istream& plain) : plain_(plain) {
  buffer_.resize(age::CHUNK_SIZE);
}

std::streamsize ComparingBuffer::xsputn(char const* s, std::streamsize n) {
  if (!equal_ || n <= 0) return n;  // once different, the plain file need not be read further
  auto const size = static_cast<std::size_t>(n);
  if (buffer_.size() < size) buffer_.resize(size);
  plain_.read(buffer_.data(), n);
  equal_ = plain_.gcount() == n && std::memcmp(buffer_.data(), s, size) == 0;
  return n;
}

ComparingBuffer::int_type ComparingBuffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
  char const ch = traits_type::to_char_type(c);
  return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

}  // namespace KVO_Core::target_encryption
