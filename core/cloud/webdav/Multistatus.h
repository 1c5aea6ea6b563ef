// Reading a WebDAV multistatus answer, bounded: the nesting is checked before the XML parser
// sees the text, and the number of responses is capped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/cloud/Entry.h"

namespace KVO_Core::webdav {

// Deeper nesting than a multistatus ever needs is refused before parsing.
inline constexpr std::size_t MAX_XML_DEPTH = 64;
// More responses than this in one answer are refused rather than collected.
inline constexpr std::size_t MAX_RESPONSES = 200000;

// One response element: its href as sent and the entry read from its properties.
struct Response {
  std::string href;
  Entry entry;
};

// The responses of a multistatus, in document order. Element names match whatever their
// namespace prefix. Throws http::Error 37 for text that is not XML, nests deeper than
// MAX_XML_DEPTH or holds more than MAX_RESPONSES responses.
std::vector<Response> read_multistatus(std::string const& xml);

// Whether the element nesting of the text stays within max_depth (comments, processing
// instructions, CDATA and declarations skipped). Linear, no allocation.
bool xml_depth_within(std::string const& xml, std::size_t max_depth);

// The decoded path that an href names: scheme and host dropped, percent-decoded, trailing "/"
// removed. The same for a request URL, so the two compare.
std::string href_path(std::string const& href);

}  // namespace KVO_Core::webdav
