#include "core/cloud/SameOrigin.h"

#include <curl/curl.h>

#include <memory>
#include <optional>

#include "utilities/Util.h"

namespace KVO_Core {

// Named apart: the library is also compiled as one batch, beside other users of libcurl's URLs.
namespace origin_parts {

struct UrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextFree {
  void operator()(char* text) const { curl_free(text); }
};

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned flags) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, flags) != CURLUE_OK) return std::nullopt;
  std::unique_ptr<char, TextFree> const text(raw);
  return std::string(raw);
}

struct Origin {
  std::string scheme, host, port;
  friend bool operator==(Origin const&, Origin const&) = default;
};

std::optional<Origin> origin_of(std::string const& address) {
  std::unique_ptr<CURLU, UrlFree> const url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) != CURLUE_OK)
    return std::nullopt;
  if (part(url.get(), CURLUPART_USER, 0)) return std::nullopt;
  auto scheme = part(url.get(), CURLUPART_SCHEME, 0);
  auto host = part(url.get(), CURLUPART_HOST, 0);
  auto port = part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port) return std::nullopt;
  return Origin{Utilities::util::lowercase(*scheme), Utilities::util::lowercase(*host), *port};
}

}  // namespace origin_parts

bool same_origin(std::string const& a, std::string const& b) {
  auto const first = origin_parts::origin_of(a);
  auto const second = origin_parts::origin_of(b);
  return first && second && *first == *second;
}

}  // namespace KVO_Core
