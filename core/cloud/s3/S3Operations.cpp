#include <fstream>
#include <set>

#include "core/cloud/LocalTransfer.h"
#include "core/cloud/s3/S3Listing.h"
#include "core/cloud/s3/S3Request.h"
#include "core/cloud/s3/S3Store.h"
#include "utilities/Codecs.h"
#include "utilities/Translation.h"

namespace KVO_Core::s3 {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;

// Bounds of one listing: a server that never ends its pages is refused, not followed forever.
constexpr std::size_t max_listed_entries = 1'000'000;
constexpr std::size_t max_listing_pages = 100'000;

[[noreturn]] void s3_refuse(char const* message_id, std::string const& what) {
  throw http::Error(FileInfoResult::unknown_error,
                    Utilities::translation::translate_utf8(message_id) + what);
}

webdav::Entry s3_folder(std::string name) { return {std::move(name), true, 0, 0}; }

std::int64_t modified_of(Headers const& headers) {
  auto const mtime = headers.find(MTIME_HEADER);
  if (mtime != headers.end()) {
    if (std::optional<std::int64_t> const seconds = metadata_seconds(mtime->second))
      return *seconds;
  }
  auto const modified = headers.find("last-modified");
  if (modified == headers.end()) return 0;
  std::int64_t const seconds = http::parse_date(modified->second);
  return seconds < 0 ? 0 : seconds;
}

std::optional<Headers> head_of(SshAccount const& account, Place const& place) {
  std::unique_ptr<http::Request> const request =
      request_for(account, {"HEAD", place.bucket, place.key, {}, {}});
  request->without_body();
  Headers headers;
  request->on_header(note_header, &headers);
  std::optional<long> const status = request->perform();
  long const code = status.value_or(0);
  if (code == 404) return std::nullopt;
  if (code == 403) s3_refuse("s3_access_denied", place.bucket + "/" + place.key);
  if (code < 200 || code > 299) fail(*request, code);
  return headers;
}

Page list_page(SshAccount const& account, std::string const& bucket, std::string const& prefix,
               std::string const& token, char const* max_keys) {
  Call call{"GET", bucket, "", {{"list-type", "2"}, {"delimiter", "/"}, {"prefix", prefix}}, {}};
  if (!token.empty()) call.query["continuation-token"] = token;
  if (max_keys && *max_keys) call.query["max-keys"] = max_keys;
  // A listing that is not one, or that stops without saying where it goes on, would read as a
  // folder without the files it holds.
  std::optional<Page> page = page_of(answered_xml(account, call), prefix);
  if (!page) throw http::Error(FileInfoResult::unknown_error, "S3 answer is not a listing");
  if (page->truncated && page->next_token.empty())
    throw http::Error(FileInfoResult::unknown_error, "S3 listing is cut short without a token");
  return std::move(*page);
}

// The bucket and key of an object; a path that names a bucket or the root is refused before
// anything is sent, since a request without a key addresses the bucket itself.
Place object_place(std::string const& path) {
  Place place = place_of(path);
  if (place.key.empty()) s3_refuse("s3_not_an_object", path);
  return place;
}

}  // namespace

std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path) {
  Place const place = place_of(path);
  if (place.bucket.empty()) return s3_folder("");
  std::optional<Headers> const headers = head_of(account, place);
  if (place.key.empty()) {
    if (!headers) return std::nullopt;
    return s3_folder(place.bucket);
  }
  if (headers) {
    auto const length = headers->find("content-length");
    return webdav::Entry{name_of(place.key), false,
                         length == headers->end() ? 0 : decimal_size(length->second),
                         modified_of(*headers)};
  }
  if (!list_page(account, place.bucket, place.key + "/", "", "1").entries.empty())
    return s3_folder(name_of(place.key));
  if (head_of(account, {place.bucket, place.key + "/"})) return s3_folder(name_of(place.key));
  return std::nullopt;
}

std::vector<webdav::Entry> list(SshAccount const& account, std::string const& path) {
  Place const place = place_of(path);
  std::vector<webdav::Entry> entries;
  if (place.bucket.empty()) {
    boost::property_tree::ptree const answer = answered_xml(account, {"GET", "", "", {}, {}});
    if (!answer.get_child_optional("ListAllMyBucketsResult"))
      throw http::Error(FileInfoResult::unknown_error, "S3 answer is not a listing");
    boost::property_tree::ptree const none;
    for (auto const& [tag, bucket] : answer.get_child("ListAllMyBucketsResult.Buckets", none))
      if (tag == "Bucket") entries.push_back(s3_folder(bucket.get<std::string>("Name", "")));
    return entries;
  }
  std::string const prefix = place.key.empty() ? "" : place.key + "/";
  std::set<std::string> tokens;
  std::string token;
  for (std::size_t pages = 1;; ++pages) {
    Page page = list_page(account, place.bucket, prefix, token, nullptr);
    append_listable(std::move(page.entries), path, entries);
    if (page.next_token.empty()) break;
    // A token seen before would start the same pages again, for ever.
    if (!tokens.insert(page.next_token).second || pages >= max_listing_pages)
      s3_refuse("s3_listing_loops", path);
    if (entries.size() > max_listed_entries) s3_refuse("s3_listing_too_long", path);
    token = std::move(page.next_token);
  }
  return entries;
}

void make_directory(SshAccount const& account, std::string const& path) {
  std::optional<webdav::Entry> const existing = stat(account, path);
  if (existing && existing->is_dir) return;
  if (existing) s3_refuse("s3_name_taken", path);
  Place const place = place_of(path);
  if (place.key.empty()) s3_refuse("s3_bucket_missing", path);
  send(account, {"PUT", place.bucket, place.key + "/", {}, {}});
}

void remove(SshAccount const& account, std::string const& path) {
  Place const place = place_of(path);
  std::optional<webdav::Entry> const existing = stat(account, path);
  if (!existing || place.key.empty()) s3_refuse("s3_file_missing", path);
  send(account, {"DELETE", place.bucket, existing->is_dir ? place.key + "/" : place.key, {}, {}});
}

void move(SshAccount const& account, std::string const& from, std::string const& to) {
  Place const source = place_of(from);
  Place const target = place_of(to);
  std::optional<webdav::Entry> const existing = stat(account, from);
  if (!existing) s3_refuse("s3_file_missing", from);
  if (existing->is_dir) s3_refuse("s3_folder_not_renamable", from);
  // The copy replaces whatever is there: only a free target is taken.
  if (stat(account, to)) s3_refuse("s3_name_taken", to);
  if (target.key.empty()) s3_refuse("s3_not_an_object", to);
  std::string const copy_source =
      "/" + Utilities::percent::encoded(source.bucket) + "/" + encoded_key(source.key);
  send(account, {"PUT", target.bucket, target.key, {}, {{"x-amz-copy-source", copy_source}}});
  send(account, {"DELETE", source.bucket, source.key, {}, {}});
}

CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local) {
  Place const place = object_place(remote);
  std::unique_ptr<http::Request> const request =
      request_for(account, {"GET", place.bucket, place.key, {}, {}});
  Headers headers;
  request->on_header(note_header, &headers);
  return local_transfer::receive(*request, local, [&] { return modified_of(headers); });
}

}  // namespace KVO_Core::s3
