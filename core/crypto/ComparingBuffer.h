// A stream buffer that takes what is written to it and compares it with a file, writing
// nothing: the sink of a decryption that checks an encrypted file against its plain source.
#pragma once

#include <istream>
#include <streambuf>
#include <vector>

namespace KVO_Core::target_encryption {

class ComparingBuffer : public std::streambuf {
 public:
  explicit ComparingBuffer(std::istream& plain);
  // Every byte written so far matched the plain file.
  bool equal() const { return equal_; }

 protected:
  // Always takes all n bytes, so a decryption runs to its end even after a difference.
  std::streamsize xsputn(char const* s, std::streamsize n) override;
  int_type overflow(int_type c) override;

 private:
  std::istream& plain_;
  bool equal_ = true;
  std::vector<char> buffer_;
};

}  // namespace KVO_Core::target_encryption
