#include "core/cloud/webdav/Multistatus.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "core/cloud/http/Request.h"
#include "utilities/Codecs.h"
#include "utilities/Util.h"

namespace KVO_Core::webdav {

namespace {

namespace pt = boost::property_tree;
using Utilities::FilesystemUtil::FileInfoResult;

std::string_view local_name(std::string_view name) {
  std::size_t const colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// Children named `name` whatever their prefix, in document order.
std::vector<pt::ptree const*> children(pt::ptree const& node, std::string_view name) {
  std::vector<pt::ptree const*> found;
  for (auto const& [key, child] : node) {
    if (local_name(key) == name) found.push_back(&child);
  }
  return found;
}

pt::ptree const* first_child(pt::ptree const& node, std::string_view name) {
  for (auto const& [key, child] : node) {
    if (local_name(key) == name) return &child;
  }
  return nullptr;
}

std::string name_of(std::string const& href) {
  std::string const trimmed = Utilities::util::without_trailing_chars(href, '/');
  std::size_t const slash = trimmed.rfind('/');
  return Utilities::percent::decoded(slash == std::string::npos ? trimmed
                                                                : trimmed.substr(slash + 1));
}

void read_prop(pt::ptree const& prop, Entry& entry) {
  if (pt::ptree const* type = first_child(prop, "resourcetype")) {
    if (first_child(*type, "collection")) entry.is_dir = true;
  }
  if (pt::ptree const* length = first_child(prop, "getcontentlength")) {
    std::string const text = Utilities::util::trimmed(length->data());
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
      try {
        entry.size = std::stoull(text);
      } catch (std::exception const&) {  // out of range: size stays
      }
    }
  }
  if (pt::ptree const* modified = first_child(prop, "getlastmodified")) {
    std::int64_t const time = http::parse_date(modified->data());
    if (time >= 1) entry.mtime = time;
  }
}

[[noreturn]] void not_xml(std::string const& why) {
  throw http::Error(FileInfoResult::unknown_error, "PROPFIND answer is not XML: " + why);
}

}  // namespace

bool xml_depth_within(std::string const& xml, std::size_t max_depth) {
  std::size_t depth = 0;
  std::size_t i = 0;
  auto skip_past = [&](std::string_view end) {
    std::size_t const at = xml.find(end, i);
    i = at == std::string::npos ? xml.size() : at + end.size();
  };
  while ((i = xml.find('<', i)) != std::string::npos) {
    std::string_view const rest = std::string_view(xml).substr(i);
    if (rest.starts_with("<?")) {
      skip_past("?>");
    } else if (rest.starts_with("<!--")) {
      skip_past("-->");
    } else if (rest.starts_with("<![CDATA[")) {
      skip_past("]]>");
    } else if (rest.starts_with("<!")) {
      skip_past(">");
    } else if (rest.starts_with("</")) {
      if (depth > 0) --depth;
      skip_past(">");
    } else {
      // An opening tag; quoted attribute values may hold '>'.
      char quote = 0;
      std::size_t j = i + 1;
      for (; j < xml.size(); ++j) {
        char const c = xml[j];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      bool const closed = j < xml.size() && j > i + 1 && xml[j - 1] == '/';
      if (!closed && ++depth > max_depth) return false;
      i = j < xml.size() ? j + 1 : xml.size();
    }
  }
  return true;
}

std::vector<Response> read_multistatus(std::string const& xml) {
  if (!xml_depth_within(xml, MAX_XML_DEPTH)) {
    not_xml("nested deeper than " + std::to_string(MAX_XML_DEPTH) + " levels");
  }
  pt::ptree document;
  try {
    std::istringstream in(xml);
    pt::read_xml(in, document);
  } catch (pt::xml_parser_error const& e) {
    not_xml(e.message());
  }
  std::vector<Response> result;
  pt::ptree const* multistatus = first_child(document, "multistatus");
  if (!multistatus) return result;
  for (pt::ptree const* response : children(*multistatus, "response")) {
    pt::ptree const* href = first_child(*response, "href");
    if (!href) continue;
    if (result.size() == MAX_RESPONSES) {
      throw http::Error(
          FileInfoResult::unknown_error,
          "PROPFIND answer holds more than " + std::to_string(MAX_RESPONSES) + " entries");
    }
    Response item{Utilities::util::trimmed(href->data()), {}};
    item.entry.name = name_of(item.href);
    for (pt::ptree const* propstat : children(*response, "propstat")) {
      if (pt::ptree const* prop = first_child(*propstat, "prop")) read_prop(*prop, item.entry);
    }
    result.push_back(std::move(item));
  }
  return result;
}

std::string href_path(std::string const& href) {
  std::string_view text = href;
  text = text.substr(0, text.find_first_of("?#"));
  if (std::size_t const scheme = text.find("://"); scheme != std::string_view::npos) {
    std::size_t const path = text.find('/', scheme + 3);
    text = path == std::string_view::npos ? std::string_view() : text.substr(path);
  }
  std::string decoded = Utilities::percent::decoded(text);
  while (!decoded.empty() && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

}  // namespace KVO_Core::webdav
