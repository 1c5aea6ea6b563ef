#include "core/cloud/gdrive/GoogleDrive.h"

#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "core/cloud/JsonAnswer.h"
#include "core/cloud/LocalTransfer.h"
#include "core/cloud/SameOrigin.h"
#include "core/cloud/TokenRequest.h"
#include "core/cloud/UtcTime.h"
#include "core/cloud/gdrive/DriveText.h"
#include "core/cloud/http/Request.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "utilities/Codecs.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::google_drive {

namespace {

using Utilities::FilesystemUtil::unknown_error;
using Tree = boost::property_tree::wptree;

constexpr char const* FIELDS = "id,name,mimeType,size,modifiedTime";
constexpr char const* FOLDER_TYPE = "application/vnd.google-apps.folder";
constexpr std::string_view GOOGLE_TYPE_PREFIX = "application/vnd.google-apps.";
constexpr char const* JSON_HEADER = "Content-Type: application/json; charset=utf-8";
// A listing that pages on past this many pages is a server fault, not a folder.
constexpr int MAX_PAGES = 100000;

struct Node {
  std::string id;
  std::string mimeType;
  std::string name;
  bool is_folder = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
};

struct Place {
  std::string parent_id;
  std::string name;
  std::optional<Node> node;
};

// A folder's id with the refresh token it was found with: after a new login under the same
// account name, ids of the other identity's folders must not be used.
struct CachedFolder {
  std::string refresh_token;
  std::string id;
};

std::mutex folder_mutex;
std::map<std::string, CachedFolder> folder_ids;

std::string fixed(char const* id, std::string const& path) {
  return Utilities::translation::translate_utf8(id) + path;
}

std::vector<std::string> pieces_of(std::string const& path) {
  return Utilities::util::split(path, '/');
}

std::string joined(std::vector<std::string> const& pieces, std::size_t n) {
  std::string path;
  for (std::size_t i = 0; i < n; ++i) path += "/" + pieces[i];
  return path;
}

std::string cache_key(SshAccount const& account, std::string const& path) {
  return account.name() + "\n" + path;
}

void remember_folder(SshAccount const& account, std::string const& path, std::string const& id) {
  std::lock_guard lock(folder_mutex);
  folder_ids.insert_or_assign(cache_key(account, path), CachedFolder{account.password(), id});
}

Tree answer_of(http::Request& request, std::optional<long> status) {
  request.expect_success(status);
  return json_answer::parsed(request.response, "Google Drive");
}

Node node_of(Tree const& element) {
  Node node;
  if (!json_answer::has(element, "id"))
    throw http::Error(unknown_error, "Google Drive named no id");
  node.id = json_answer::value_of(element, "id");
  node.mimeType = json_answer::value_of(element, "mimeType");
  node.name = json_answer::value_of(element, "name");
  node.is_folder = node.mimeType == FOLDER_TYPE;
  node.size = json_answer::unsigned_of(element, "size");
  node.mtime = utc_time::seconds_of(json_answer::value_of(element, "modifiedTime"));
  return node;
}

std::vector<Node> children(SshAccount const& account, std::string const& parent_id,
                           std::string const& name) {
  std::string q = query_text(parent_id) + " in parents and trashed = false";
  if (!name.empty()) q += " and name = " + query_text(name);
  std::string const base =
      "?spaces=drive&pageSize=1000&fields=" +
      Utilities::percent::encoded("nextPageToken,files(id,name,mimeType,size,modifiedTime)") +
      "&q=" + Utilities::percent::encoded(q);
  std::vector<Node> nodes;
  std::set<std::string> seen_tokens;
  std::string page_token;
  for (int page = 0;; ++page) {
    if (page == MAX_PAGES) throw http::Error(unknown_error, "Google Drive listing does not end");
    std::string suffix = base;
    if (!page_token.empty()) suffix += "&pageToken=" + Utilities::percent::encoded(page_token);
    auto const url = files_url(account, suffix, false);
    TokenRequest call(account, url, "GET");
    auto const status = call.request.perform();
    auto const answer = answer_of(call.request, status);
    if (auto files = answer.get_child_optional(L"files")) {
      for (auto const& [key, element] : *files) {
        auto node = node_of(element);
        if (node.is_folder || !node.mimeType.starts_with(GOOGLE_TYPE_PREFIX)) {
          nodes.push_back(std::move(node));
        }
      }
    }
    page_token = json_answer::value_of(answer, "nextPageToken");
    if (page_token.empty()) return nodes;
    // A token handed out before would page round in a circle.
    if (!seen_tokens.insert(page_token).second) {
      throw http::Error(unknown_error, "Google Drive listing does not end");
    }
  }
}

std::optional<Node> child(SshAccount const& account, std::string const& parent_id,
                          std::string const& name) {
  auto nodes = children(account, parent_id, name);
  if (nodes.empty()) return std::nullopt;
  return std::move(nodes.front());
}

std::optional<std::string> folder_id(SshAccount const& account,
                                     std::vector<std::string> const& pieces, std::size_t n) {
  if (n == 0) return std::string("root");
  auto const path = joined(pieces, n);
  {
    std::lock_guard lock(folder_mutex);
    auto found = folder_ids.find(cache_key(account, path));
    if (found != folder_ids.end() && found->second.refresh_token == account.password()) {
      return found->second.id;
    }
  }
  auto parent = folder_id(account, pieces, n - 1);
  if (!parent) return std::nullopt;
  auto node = child(account, *parent, pieces[n - 1]);
  if (!node || !node->is_folder) return std::nullopt;
  remember_folder(account, path, node->id);
  return node->id;
}

std::optional<Place> place_of(SshAccount const& account, std::string const& path) {
  auto const pieces = pieces_of(path);
  if (pieces.empty()) return std::nullopt;
  auto parent = folder_id(account, pieces, pieces.size() - 1);
  if (!parent) return std::nullopt;
  return Place{*parent, pieces.back(), child(account, *parent, pieces.back())};
}

Place existing_parent(SshAccount const& account, std::string const& path) {
  auto place = place_of(account, path);
  if (!place) throw http::Error(unknown_error, fixed("google_drive_folder_missing", path));
  return std::move(*place);
}

Node existing(SshAccount const& account, std::string const& path) {
  auto place = existing_parent(account, path);
  if (!place.node) throw http::Error(unknown_error, fixed("google_drive_file_missing", path));
  return std::move(*place.node);
}

void change(SshAccount const& account, std::string const& file_id, std::string const& query,
            std::string const& body) {
  auto const url = files_url(account, "/" + Utilities::percent::encoded(file_id) + query, false);
  TokenRequest call(account, url, "PATCH");
  call.request.header(JSON_HEADER);
  call.request.body(body);
  call.request.expect_success(call.request.perform());
}

void forget_all_folders() {
  std::lock_guard lock(folder_mutex);
  folder_ids.clear();
}

// The upload address may carry only this account's origin: the file's content goes there
// without further checks.
bool upload_address_acceptable(SshAccount const& account, std::string const& location) {
  return !location.empty() && webdav::address_allowed(location) &&
         same_origin(location, account.url);
}

}  // namespace

std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path) {
  if (pieces_of(path).empty()) return webdav::Entry{"", true, 0, 0};
  auto place = place_of(account, path);
  if (!place || !place->node) return std::nullopt;
  auto const& node = *place->node;
  return webdav::Entry{node.name, node.is_folder, node.size, node.mtime};
}

std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder) {
  auto const pieces = pieces_of(folder);
  auto id = folder_id(account, pieces, pieces.size());
  if (!id) throw http::Error(unknown_error, fixed("google_drive_folder_missing", folder));
  std::vector<webdav::Entry> entries;
  for (auto& node : children(account, *id, "")) {
    if (!Utilities::FilesystemUtil::plain_entry_name(node.name)) continue;
    entries.push_back(webdav::Entry{std::move(node.name), node.is_folder, node.size, node.mtime});
  }
  return entries;
}

void make_directory(SshAccount const& account, std::string const& path) {
  auto place = existing_parent(account, path);
  if (place.node) {
    if (place.node->is_folder) return;
    throw http::Error(unknown_error, fixed("google_drive_name_taken", path));
  }
  auto const url = files_url(account, "?fields=" + Utilities::percent::encoded(FIELDS), false);
  TokenRequest call(account, url, "POST");
  call.request.header(JSON_HEADER);
  call.request.body("{\"name\":" + json_text(place.name) + ",\"mimeType\":" +
                    json_text(FOLDER_TYPE) + ",\"parents\":[" + json_text(place.parent_id) + "]}");
  auto const status = call.request.perform();
  auto const node = node_of(answer_of(call.request, status));
  auto const pieces = pieces_of(path);
  remember_folder(account, joined(pieces, pieces.size()), node.id);
}

void remove(SshAccount const& account, std::string const& path) {
  auto const node = existing(account, path);
  change(account, node.id, "", "{\"trashed\":true}");
  forget_all_folders();
}

void move(SshAccount const& account, std::string const& from, std::string const& to) {
  auto source = existing_parent(account, from);
  auto target = existing_parent(account, to);
  if (!source.node) throw http::Error(unknown_error, fixed("google_drive_file_missing", from));
  if (target.node) throw http::Error(unknown_error, fixed("google_drive_name_taken", to));
  std::string query;
  if (source.parent_id != target.parent_id) {
    query = "?addParents=" + Utilities::percent::encoded(target.parent_id) +
            "&removeParents=" + Utilities::percent::encoded(source.parent_id);
  }
  change(account, source.node->id, query, "{\"name\":" + json_text(target.name) + "}");
  forget_all_folders();
}

CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local) {
  auto const node = existing(account, remote);
  auto const url =
      files_url(account, "/" + Utilities::percent::encoded(node.id) + "?alt=media", false);
  TokenRequest call(account, url, "GET");
  return local_transfer::receive(call.request, local, [&] { return node.mtime; });
}

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  local_transfer::Source source;
  local_transfer::open_source(local, source);
  auto const place = existing_parent(account, remote);
  // Content sent to a folder's id would not land in a file of that name.
  if (place.node && place.node->is_folder) {
    throw http::Error(unknown_error, fixed("google_drive_name_taken", remote));
  }
  auto const time = json_text(utc_time::text_of(source.mtime));
  std::string metadata = "{\"modifiedTime\":" + time;
  if (!place.node) {
    metadata +=
        ",\"name\":" + json_text(place.name) + ",\"parents\":[" + json_text(place.parent_id) + "]";
  }
  metadata += "}";

  http::Headers answer;
  {
    std::string suffix = "?uploadType=resumable";
    if (place.node) suffix = "/" + Utilities::percent::encoded(place.node->id) + suffix;
    auto const url = files_url(account, suffix, true);
    TokenRequest start(account, url, place.node ? "PATCH" : "POST");
    start.request.header(JSON_HEADER);
    start.request.header("X-Upload-Content-Length: " + std::to_string(source.size));
    start.request.body(metadata);
    start.request.on_header(http::note_header, &answer);
    start.request.expect_success(start.request.perform());
  }
  std::string const& location = answer["location"];
  if (!upload_address_acceptable(account, location)) {
    throw http::Error(unknown_error, "Google Drive named no place for the upload");
  }
  http::Request put(location, "PUT");
  put.upload_from(source.in, source.size, 0);
  auto const status = put.perform();
  if (!status) return CopyResult::Cancelled;
  // The failure names the address without its query, which holds the upload's id.
  put.expect_success(status);
  return CopyResult::Done;
}

void forget_folder_ids() { forget_all_folders(); }

}  // namespace KVO_Core::google_drive
