#include "core/cloud/dropbox/Dropbox.h"

#include <set>

#include "core/cloud/JsonAnswer.h"
#include "core/cloud/LocalTransfer.h"
#include "core/cloud/TokenRequest.h"
#include "core/cloud/UploadPieces.h"
#include "core/cloud/UtcTime.h"
#include "core/cloud/dropbox/DropboxArgs.h"
#include "core/cloud/http/Request.h"
#include "core/cloud/oauth/Providers.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Translation.h"

namespace KVO_Core::dropbox {

namespace {

using Tree = boost::property_tree::wptree;
using Utilities::FilesystemUtil::unknown_error;

[[noreturn]] void refuse(std::string const& text) { throw http::Error(unknown_error, text); }

std::string content_url(std::string const& endpoint) {
  return webdav::require_allowed(dropbox_auth::settings().content_url) + endpoint;
}

struct Answer {
  long status = 0;
  Tree tree;
  std::string error_summary;
};

Tree parsed(std::string const& text) { return json_answer::parsed(text, "Dropbox"); }

Answer call(SshAccount const& account, std::string const& endpoint, std::string const& body) {
  std::string const address = webdav::require_allowed(account.url) + endpoint;
  TokenRequest call(account, address, "POST");
  call.request.header("Content-Type: application/json");
  call.request.body(body);
  auto const status = call.request.perform();
  Answer answer;
  answer.status = status.value_or(0);
  if (answer.status == 200 || answer.status == 409) {
    answer.tree = parsed(call.request.response);
    answer.error_summary = json_answer::value_of(answer.tree, "error_summary");
  } else {
    call.request.expect_success(status);
  }
  return answer;
}

Tree const& succeeded(Answer const& answer, std::string const& operation) {
  if (answer.status != 200) refuse("Dropbox " + operation + ": " + answer.error_summary);
  return answer.tree;
}

bool listable(Tree const& metadata) {
  std::string const tag = json_answer::value_of(metadata, ".tag");
  return tag == "file" || tag == "folder";
}

webdav::Entry entry_of(Tree const& metadata) {
  webdav::Entry entry;
  entry.name = json_answer::value_of(metadata, "name");
  entry.is_dir = json_answer::value_of(metadata, ".tag") == "folder";
  entry.size = json_answer::unsigned_of(metadata, "size");
  entry.mtime = utc_time::seconds_of(json_answer::value_of(metadata, "client_modified"));
  return entry;
}

// The name as the path gives it; Dropbox keeps the letter case of the last name exactly.
std::string last_name(std::string const& path) {
  std::string const full = api_path(path);
  return full.substr(full.rfind('/') + 1);
}

// One content upload of `count` bytes read on from where the file stands; none when a stop
// request cut it short.
std::optional<Tree> send_piece(SshAccount const& account, std::string const& endpoint,
                               std::string const& argument, std::ifstream& in, std::uint64_t count,
                               std::uint64_t offset) {
  std::string const address = content_url(endpoint);
  TokenRequest call(account, address, "POST");
  call.request.header("Dropbox-API-Arg: " + argument);
  call.request.header("Content-Type: application/octet-stream");
  call.request.upload_from(in, count, offset);
  auto const status = call.request.perform();
  if (!status) return std::nullopt;
  std::string const& body = call.request.response;
  // The reason follows the status, so a refused token is fetched anew and a busy service ends
  // the run, as for every other call.
  if (*status != 200)
    throw http::Error(http::reason_of(*status, body),
                      "Dropbox " + endpoint + ": HTTP " + std::to_string(*status) + " " + body);
  if (body.empty() || body == "null") return Tree();
  return parsed(body);
}

}  // namespace

std::optional<webdav::Entry> stat(SshAccount const& account, std::string const& path) {
  if (api_path(path).empty()) {
    webdav::Entry root;
    root.is_dir = true;
    return root;
  }
  Answer const answer = call(account, "/files/get_metadata", path_arg(path));
  if (answer.status == 409 && answer.error_summary.starts_with("path/not_found"))
    return std::nullopt;
  Tree const& metadata = succeeded(answer, "get_metadata");
  if (!listable(metadata)) return std::nullopt;
  return entry_of(metadata);
}

std::vector<webdav::Entry> list(SshAccount const& account, std::string const& folder) {
  std::vector<webdav::Entry> entries;
  Answer answer = call(account, "/files/list_folder", path_arg(folder));
  std::string operation = "list_folder";
  std::set<std::string> cursors;
  for (;;) {
    Tree const& page = succeeded(answer, operation);
    // An answer without the list is no empty folder: taking it for one would delete elsewhere.
    auto const items = page.get_child_optional(L"entries");
    if (!items) refuse("Dropbox answer holds no listing: " + folder);
    for (auto const& [key, metadata] : *items) {
      webdav::Entry entry = entry_of(metadata);
      if (listable(metadata) && Utilities::FilesystemUtil::plain_entry_name(entry.name))
        entries.push_back(std::move(entry));
    }
    if (json_answer::value_of(page, "has_more") != "true") return entries;
    std::string const cursor = json_answer::value_of(page, "cursor");
    if (cursor.empty() || !cursors.insert(cursor).second)
      refuse("Dropbox named no new place for the next page: " + folder);
    if (cursors.size() >= MAX_LISTING_PAGES)
      refuse("Dropbox listing runs past " + std::to_string(MAX_LISTING_PAGES) +
             " pages: " + folder);
    answer = call(account, "/files/list_folder/continue", continue_arg(cursor));
    operation = "list_folder/continue";
  }
}

void make_directory(SshAccount const& account, std::string const& path) {
  if (api_path(path).empty()) return;  // the root is always there
  Answer const answer = call(account, "/files/create_folder_v2", folder_arg(path));
  if (answer.status == 409 && answer.error_summary.starts_with("path/conflict/folder")) {
    // A folder of this name in another letter case is another local folder's place.
    Answer const there = call(account, "/files/get_metadata", path_arg(path));
    if (there.status == 200 && json_answer::value_of(there.tree, "name") == last_name(path)) return;
    refuse("Dropbox holds this name in another letter case: " + path);
  }
  succeeded(answer, "create_folder");
}

void remove(SshAccount const& account, std::string const& path) {
  // "" and "/" name the whole account, never one item to delete.
  if (api_path(path).empty()) refuse("Dropbox will not remove the root folder");
  succeeded(call(account, "/files/delete_v2", path_arg(path)), "delete");
}

void move(SshAccount const& account, std::string const& from, std::string const& to) {
  succeeded(call(account, "/files/move_v2", move_arg(from, to)), "move");
}

CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local) {
  auto const entry = stat(account, remote);
  if (!entry) refuse(Utilities::translation::translate_utf8("dropbox_file_missing") + remote);
  TokenRequest call(account, content_url("/files/download"), "GET");
  call.request.header("Dropbox-API-Arg: " + path_arg(remote));
  return local_transfer::receive(call.request, local, [&] { return entry->mtime; });
}

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  local_transfer::Source source;
  local_transfer::open_source(local, source);
  // Dropbox ignores the letter case of names: writing "A.txt" would replace "a.txt", another
  // local file's copy.
  Answer const there = call(account, "/files/get_metadata", path_arg(remote));
  if (there.status == 200 && json_answer::value_of(there.tree, "name") != last_name(remote))
    refuse("Dropbox holds this name in another letter case: " + remote);
  if (source.size <= PIECE_SIZE)
    return send_piece(account, "/files/upload", commit_json(remote, source.mtime), source.in,
                      source.size, 0)
               ? CopyResult::Done
               : CopyResult::Cancelled;
  auto const pieces = upload_pieces(source.size, PIECE_SIZE);
  auto const started = send_piece(account, "/files/upload_session/start", START_ARG, source.in,
                                  pieces.front().count, 0);
  if (!started) return CopyResult::Cancelled;
  std::string const session = json_answer::value_of(*started, "session_id");
  if (session.empty()) refuse("Dropbox named no upload session for " + remote);
  for (std::size_t i = 1; i + 1 < pieces.size(); ++i)
    if (!send_piece(account, "/files/upload_session/append_v2",
                    append_arg(session, pieces[i].offset), source.in, pieces[i].count,
                    pieces[i].offset))
      return CopyResult::Cancelled;
  UploadPiece const& last = pieces.back();
  return send_piece(account, "/files/upload_session/finish",
                    finish_arg(session, last.offset, remote, source.mtime), source.in, last.count,
                    last.offset)
             ? CopyResult::Done
             : CopyResult::Cancelled;
}

}  // namespace KVO_Core::dropbox
