#include "core/crypto/AgeHeader.h"

#include <istream>

#include "utilities/Codecs.h"

namespace KVO_Core::age {

namespace {

constexpr std::string_view STANZA_PREFIX = "-> ";
constexpr std::string_view X25519_PREFIX = "-> X25519 ";
constexpr std::string_view MAC_PREFIX = "---";

bool starts_with(std::string_view line, std::string_view prefix) {
  return line.size() >= prefix.size() && line.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::optional<Header> read_header(std::istream& in) {
  Header header;
  std::string line;
  std::string pending;  // argument of an X25519 stanza waiting for its body line
  std::size_t count = 0;
  bool first = true;
  for (;;) {
    int const c = in.get();
    if (c == std::char_traits<char>::eof()) return std::nullopt;
    // Line feeds count too: a flood of empty lines must not grow the header without bound.
    if (++count > HEADER_LIMIT) return std::nullopt;
    if (c != '\n') {
      line += static_cast<char>(c);
      // The first line can be judged early: no need to keep reading a line that cannot match.
      if (first &&
          (line.size() >= VERSION_LINE.size() || line.back() != VERSION_LINE[line.size() - 1]))
        return std::nullopt;
      continue;
    }
    if (first) {
      if (line.size() + 1 != VERSION_LINE.size()) return std::nullopt;
      header.text = VERSION_LINE;
      first = false;
    } else if (line.size() > 2 && starts_with(line, MAC_PREFIX)) {
      header.text += MAC_PREFIX;
      // Only "--- " begins a MAC; any other line starting with dashes carries no valid MAC.
      if (line.size() > 3 && line[3] == ' ') header.mac = line.substr(4);
      return header;
    } else {
      header.text += line;
      header.text += '\n';
      if (line.size() > 2 && starts_with(line, STANZA_PREFIX)) {
        pending = starts_with(line, X25519_PREFIX) ? line.substr(X25519_PREFIX.size()) : "";
      } else if (!pending.empty()) {
        header.stanzas.emplace_back(std::move(pending), line);
        pending.clear();
      }
    }
    line.clear();
  }
}

std::string header_text(Bytes32 const& share, std::string_view wrapped_key) {
  std::string text(VERSION_LINE);
  text += X25519_PREFIX;
  text += base64_unpadded(as_text(share.data(), share.size()));
  text += '\n';
  text += base64_unpadded(wrapped_key);
  text += '\n';
  text += MAC_PREFIX;
  return text;
}

std::string mac_line(Bytes32 const& mac) {
  return " " + base64_unpadded(as_text(mac.data(), mac.size())) + "\n";
}

std::string base64_unpadded(std::string_view bytes) {
  return Utilities::base64::encoded_unpadded(
      {reinterpret_cast<std::uint8_t const*>(bytes.data()), bytes.size()});
}

std::optional<Bytes32> base64_bytes(std::string_view text) {
  if (text.find('=') != std::string_view::npos) return std::nullopt;
  std::string padded(text);
  padded.append((4 - padded.size() % 4) % 4, '=');
  auto const bytes = Utilities::base64::decoded(padded);
  if (bytes.size() != 32) return std::nullopt;
  Bytes32 out{};
  std::copy(bytes.begin(), bytes.end(), out.begin());
  if (base64_unpadded(as_text(out.data(), out.size())) != text) return std::nullopt;
  return out;
}

}  // namespace KVO_Core::age
