// Reading what an S3 server answers: listing pages, the names they give below a folder, object
// sizes and times. Pure functions over the answer; nothing is sent here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "core/cloud/Entry.h"

namespace KVO_Core::s3 {

// The user metadata that carries a file's own modification time, Unix seconds in decimal.
inline constexpr char MTIME_HEADER[] = "x-amz-meta-mtime";

// One page of a listing below a prefix.
struct Page {
  // Files and folders in the answer's order, each named by its key without the prefix (a folder
  // also without its final "/"); keys outside the prefix and the folder's own marker left out.
  std::vector<webdav::Entry> entries;
  std::string next_token;  // empty when the listing is complete
  // The answer says more pages follow; without a token to ask for them the listing is cut short.
  bool truncated = false;
};

// The page of a ListObjectsV2 answer asked for with `prefix`; none when the answer is no
// listing at all.
std::optional<Page> page_of(boost::property_tree::ptree const& answer, std::string const& prefix);

// Appends to `out` the entries whose names can stand for one entry of a folder: not empty, not
// "." or "..", without "/", "\" or NUL, and valid UTF-8. A name that is not UTF-8 would be read
// as another one: it is skipped with a hint that names `folder`.
void append_listable(std::vector<webdav::Entry>&& entries, std::string const& folder,
                     std::vector<webdav::Entry>& out);

// The last piece of a key, trailing "/" ignored: "photos/2024/" gives "2024".
std::string name_of(std::string const& key);

// The seconds of an mtime metadata value: decimal digits, optionally a fraction that is
// ignored; none for anything else and for values beyond int64.
std::optional<std::int64_t> metadata_seconds(std::string_view value);
// "LastModified" of a listing ("2024-01-31T23:59:59.000Z") as Unix seconds; 0 when unreadable.
std::int64_t listing_time(std::string const& text);
// A decimal size; 0 when the text is no number or too large.
std::uint64_t decimal_size(std::string const& text);

// Whether an XML answer nests at most `limit` elements deep; checked before parsing, since the
// parser recurses once per level.
bool xml_depth_within(std::string_view text, int limit);

}  // namespace KVO_Core::s3
