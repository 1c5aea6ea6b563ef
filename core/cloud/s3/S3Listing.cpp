#include "core/cloud/s3/S3Listing.h"

#include <charconv>

#include "core/cloud/UtcTime.h"
#include "core/run/SyncReport.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Util.h"

namespace KVO_Core::s3 {

std::optional<Page> page_of(boost::property_tree::ptree const& answer, std::string const& prefix) {
  auto const listing = answer.get_child_optional("ListBucketResult");
  if (!listing) return std::nullopt;
  boost::property_tree::ptree const& result = *listing;
  Page page;
  for (auto const& [tag, child] : result) {
    if (tag == "Contents") {
      std::string const key = child.get<std::string>("Key", "");
      // The folder's own marker, and keys a server answered from outside the folder.
      if (key == prefix || !key.starts_with(prefix)) continue;
      webdav::Entry entry;
      entry.name = key.substr(prefix.size());
      entry.size = decimal_size(child.get<std::string>("Size", ""));
      entry.mtime = listing_time(child.get<std::string>("LastModified", ""));
      page.entries.push_back(std::move(entry));
    } else if (tag == "CommonPrefixes") {
      std::string const folder = child.get<std::string>("Prefix", "");
      if (folder.size() <= prefix.size() || !folder.starts_with(prefix)) continue;
      webdav::Entry entry;
      entry.name = folder.substr(prefix.size());
      // Only the delimiter that ends the folder's piece; a "//" run leaves a "/" that no name
      // may hold.
      if (entry.name.back() == '/') entry.name.pop_back();
      entry.is_dir = true;
      page.entries.push_back(std::move(entry));
    }
  }
  page.truncated = result.get<std::string>("IsTruncated", "false") == "true";
  if (page.truncated) page.next_token = result.get<std::string>("NextContinuationToken", "");
  return page;
}

void append_listable(std::vector<webdav::Entry>&& entries, std::string const& folder,
                     std::vector<webdav::Entry>& out) {
  for (webdav::Entry& entry : entries) {
    if (!Utilities::FilesystemUtil::plain_entry_name(entry.name)) continue;
    if (!Utilities::util::valid_utf8(entry.name)) {
      report_sync_hint("undecodable_name_skipped", Utilities::util::string_to_wstring(folder));
      continue;
    }
    out.push_back(std::move(entry));
  }
}

std::string name_of(std::string const& key) {
  std::string const trimmed = Utilities::util::without_trailing_chars(key, '/');
  std::size_t const slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::optional<std::int64_t> metadata_seconds(std::string_view value) {
  std::int64_t seconds = 0;
  char const* const end = value.data() + value.size();
  if (value.empty() || value.front() < '0' || value.front() > '9') return std::nullopt;
  auto [next, error] = std::from_chars(value.data(), end, seconds);
  if (error != std::errc()) return std::nullopt;
  if (next != end && *next == '.') {
    ++next;
    while (next != end && *next >= '0' && *next <= '9') ++next;
  }
  if (next != end) return std::nullopt;
  return seconds;
}

std::int64_t listing_time(std::string const& text) { return utc_time::seconds_of(text); }

std::uint64_t decimal_size(std::string const& text) {
  std::uint64_t size = 0;
  auto const [next, error] = std::from_chars(text.data(), text.data() + text.size(), size);
  return error == std::errc() && next == text.data() + text.size() ? size : 0;
}

bool xml_depth_within(std::string_view text, int limit) {
  int depth = 0;
  for (std::size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
    if (i + 1 >= text.size()) break;
    char const next = text[i + 1];
    if (next == '?' || next == '!') continue;
    if (next == '/') {
      --depth;
      continue;
    }
    std::size_t const close = text.find('>', i);
    if (close == std::string_view::npos) break;
    if (text[close - 1] == '/') continue;  // <empty/>
    if (++depth > limit) return false;
  }
  return true;
}

}  // namespace KVO_Core::s3
