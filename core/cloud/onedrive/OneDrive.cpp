#include "core/cloud/onedrive/OneDrive.h"

#include <set>

#include "core/cloud/JsonAnswer.h"
#include "core/cloud/LocalTransfer.h"
#include "core/cloud/SameOrigin.h"
#include "core/cloud/TokenRequest.h"
#include "core/cloud/UtcTime.h"
#include "core/cloud/http/Request.h"
#include "core/cloud/onedrive/GraphAddress.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Translation.h"

namespace KVO_Core::one_drive {

namespace {

using Tree = boost::property_tree::wptree;
using Utilities::FilesystemUtil::unknown_error;

constexpr char JSON_TYPE[] = "Content-Type: application/json; charset=utf-8";

[[noreturn]] void refuse(std::string const& text) { throw http::Error(unknown_error, text); }

std::string checked_base(SshAccount const& account) {
  return webdav::require_allowed(account.url) + "/me/drive/root";
}

Tree parsed(http::Request const& request) {
  return json_answer::parsed(request.response, "OneDrive");
}

webdav::Entry entry_of(Tree const& item) {
  webdav::Entry entry;
  entry.name = json_answer::value_of(item, "name");
  entry.is_dir = json_answer::has(item, "folder");
  entry.size = entry.is_dir ? 0 : json_answer::unsigned_of(item, "size");
  std::string time = json_answer::value_of(item, "fileSystemInfo|lastModifiedDateTime");
  if (time.empty()) time = json_answer::value_of(item, "lastModifiedDateTime");
  entry.mtime = utc_time::seconds_of(time);
  return entry;
}

std::optional<Tree> item_at(SshAccount const& account, std::string const& path,
                            std::string const& query) {
  TokenRequest call(account, item_url(checked_base(account), path, "") + query, "GET");
  auto const status = call.request.perform();
  if (status && *status == 404) return std::nullopt;
  call.request.expect_success(status);
  return parsed(call.request);
}

void send_json(SshAccount const& account, std::string const& url, std::string const& body) {
  TokenRequest call(account, url, "PATCH");
  call.request.header(JSON_TYPE);
  call.request.body(body);
  call.request.expect_success(call.request.perform());
}

}  // namespace

std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path) {
  auto const item = item_at(account, path, ITEM_FIELDS);
  if (!item) return std::nullopt;
  webdav::Entry entry = entry_of(*item);
  if (encoded_path(path).empty()) entry.is_dir = true;
  return entry;
}

std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder) {
  std::string const base = checked_base(account);
  std::string page = item_url(base, folder, "children") + ITEM_FIELDS;
  std::vector<webdav::Entry> entries;
  std::set<std::string> followed;
  while (!page.empty()) {
    if (!webdav::address_allowed(page))
      refuse("OneDrive named an unencrypted address for the next page");
    // The bearer token goes only to the server the account names.
    if (!followed.empty() && !same_origin(page, account.url))
      refuse("OneDrive named a next page on another server: " + http::loggable_url(page));
    if (!followed.insert(page).second)
      refuse("OneDrive named a page twice: " + http::loggable_url(page));
    if (followed.size() > MAX_LISTING_PAGES)
      refuse("OneDrive listing runs past " + std::to_string(MAX_LISTING_PAGES) +
             " pages: " + folder);
    TokenRequest call(account, page, "GET");
    call.request.expect_success(call.request.perform());
    Tree const answer = parsed(call.request);
    // An answer without the list is no empty folder: taking it for one would delete elsewhere.
    auto const values = answer.get_child_optional(L"value");
    if (!values) refuse("OneDrive answer holds no listing: " + folder);
    for (auto const& [key, item] : *values) {
      webdav::Entry entry = entry_of(item);
      if (Utilities::FilesystemUtil::plain_entry_name(entry.name))
        entries.push_back(std::move(entry));
    }
    page = json_answer::value_of(answer, "@odata.nextLink");
  }
  return entries;
}

void make_directory(SshAccount const& account, std::string const& path) {
  ParentAndName const target = split_last(path);
  std::string const base = checked_base(account);
  if (target.name.empty()) return;  // the drive root is always there
  TokenRequest call(account, item_url(base, target.parent, "children"), "POST");
  call.request.header(JSON_TYPE);
  call.request.body(folder_body(target.name));
  auto const status = call.request.perform();
  if (status && *status == 409) {
    auto const there = stat(account, path);
    // A folder of this name in another letter case is another local folder's place.
    if (there && there->is_dir && there->name == target.name) return;
  }
  call.request.expect_success(status);
}

void remove(SshAccount const& account, std::string const& path) {
  // "" and "/" name the whole drive, never one item to delete.
  if (encoded_path(path).empty()) refuse("OneDrive will not remove the drive's root");
  TokenRequest call(account, item_url(checked_base(account), path, ""), "DELETE");
  call.request.expect_success(call.request.perform());
}

void move(SshAccount const& account, std::string const& from, std::string const& to) {
  std::string const base = checked_base(account);
  if (stat(account, to))
    refuse(Utilities::translation::translate_utf8("one_drive_name_taken") + to);
  send_json(account, item_url(base, from, "") + "?@microsoft.graph.conflictBehavior=fail",
            move_body(split_last(to)));
}

CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local) {
  auto const item = item_at(account, remote, "");
  if (!item) refuse(Utilities::translation::translate_utf8("one_drive_file_missing") + remote);
  std::string const address = json_answer::value_of(*item, "@microsoft.graph.downloadUrl");
  if (address.empty() || !webdav::address_allowed(address))
    refuse("OneDrive named no place for the download");
  http::Request request(address, "GET");
  return local_transfer::receive(request, local, [&] { return entry_of(*item).mtime; });
}

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  local_transfer::Source source;
  local_transfer::open_source(local, source);
  std::string const base = checked_base(account);
  // OneDrive ignores the letter case of names: writing "A.txt" would replace "a.txt", another
  // local file's copy.
  auto const there = stat(account, remote);
  if (there && there->name != split_last(remote).name)
    refuse(Utilities::translation::translate_utf8("one_drive_name_taken") + remote);
  if (source.size == 0) {
    {
      TokenRequest call(account, item_url(base, remote, "content"), "PUT");
      call.request.header("Content-Type: application/octet-stream");
      call.request.body("");
      call.request.expect_success(call.request.perform());
    }
    send_json(account, item_url(base, remote, ""), "{" + time_json(source.mtime) + "}");
    return CopyResult::Done;
  }
  std::string address;
  {
    TokenRequest call(account, item_url(base, remote, "createUploadSession"), "POST");
    call.request.header(JSON_TYPE);
    call.request.body(upload_session_body(source.mtime));
    call.request.expect_success(call.request.perform());
    address = json_answer::value_of(parsed(call.request), "uploadUrl");
  }
  if (address.empty() || !webdav::address_allowed(address))
    refuse("OneDrive named no place for the upload");
  for (UploadPiece const& piece : upload_pieces(source.size, PIECE_SIZE)) {
    http::Request request(address, "PUT");
    request.header(content_range(piece, source.size));
    request.upload_from(source.in, piece.count, piece.offset);
    auto const status = request.perform();
    if (!status) return CopyResult::Cancelled;
    request.expect_success(status);
    // 202 asks for more: after the last piece it means the file was not made.
    if (piece.offset + piece.count == source.size && *status == 202)
      refuse("OneDrive did not take the whole file: " + remote);
  }
  return CopyResult::Done;
}

}  // namespace KVO_Core::one_drive
