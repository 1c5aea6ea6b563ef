#include "core/cloud/webdav/WebdavStore.h"

#include <fstream>
#include <mutex>
#include <set>
#include <system_error>

#include "core/cloud/http/Request.h"
#include "core/cloud/webdav/AddressAllowed.h"
#include "core/cloud/webdav/Multistatus.h"
#include "utilities/Codecs.h"
#include "utilities/FileTime.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Logging.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core::webdav {

namespace {

using Utilities::FilesystemUtil::FileInfoResult;

// A request of this store: base address checked first, then basic authentication.
struct DavRequest : http::Request {
  DavRequest(SshAccount const& account, std::string const& url, char const* method)
      : http::Request(checked(account, url), method) {
    basic_auth(account.user(), account.password());
  }

  static std::string const& checked(SshAccount const& account, std::string const& url) {
    require_allowed(account.url);
    return url;
  }
};

std::optional<long> propfind(http::Request& request, char const* depth) {
  request.header(std::string("Depth: ") + depth);
  request.header("Content-Type: application/xml; charset=utf-8");
  request.body(PROPFIND_BODY);
  return request.perform();
}

[[noreturn]] void unnamed_answer(std::string const& url) {
  throw http::Error(
      FileInfoResult::unknown_error,
      "PROPFIND answer does not name the resource asked for: " + http::loggable_url(url));
}

std::optional<Entry> stat_at(SshAccount const& account, std::string const& path,
                             bool as_directory) {
  std::string const url = url_of(account.url, path, as_directory);
  DavRequest request(account, url, "PROPFIND");
  std::optional<long> const status = propfind(request, "0");
  if (!status || *status == 404) return std::nullopt;
  if ((*status == 301 || *status == 302) && !as_directory) {
    return stat_at(account, path, true);
  }
  if (*status != 207) request.fail(*status);
  // Only the resource's own response says what is there; an answer without it is no proof of
  // absence (a two-way item would delete the other side).
  std::string const own = href_path(url);
  for (Response& response : read_multistatus(request.response)) {
    if (href_path(response.href) == own) return std::move(response.entry);
  }
  unnamed_answer(url);
}

std::mutex warned_mutex;
std::set<std::string>& warned_accounts() {
  static std::set<std::string> names;
  return names;
}

std::size_t note_mtime_accepted(char* line, std::size_t size, std::size_t count, void* flag) {
  std::string const text = Utilities::util::lowercase(std::string(line, size * count));
  if (text.size() >= 11 && text.starts_with("x-oc-mtime:") &&
      text.find(MTIME_ACCEPTED) != std::string::npos) {
    *static_cast<bool*>(flag) = true;
  }
  return size * count;
}

[[noreturn]] void local_file_failure(std::filesystem::path const& local) {
  throw http::Error(
      FileInfoResult::unknown_error,
      Utilities::translation::translate_utf8("local_file_open_error") + local.string());
}

}  // namespace

std::string url_of(std::string const& base, std::string const& path, bool as_directory) {
  std::string url = Utilities::util::without_trailing_chars(base, '/');
  for (std::string const& piece : Utilities::util::split(path, '/')) {
    url += '/';
    url += Utilities::percent::encoded(piece);
  }
  if (as_directory) url += '/';
  return url;
}

std::optional<Entry> stat(SshAccount const& account, std::string const& path) {
  return stat_at(account, path, false);
}

std::vector<Entry> list(SshAccount const& account, std::string const& folder) {
  std::string const url = url_of(account.url, folder, true);
  DavRequest request(account, url, "PROPFIND");
  std::optional<long> const status = propfind(request, "1");
  if (!status) return {};
  if (*status != 207) request.fail(*status);
  std::string const own = href_path(url);
  bool found_own = false;
  std::vector<Entry> entries;
  for (Response& response : read_multistatus(request.response)) {
    std::string const named = href_path(response.href);
    if (named == own) {
      found_own = true;
      continue;
    }
    // Deeper entries (a server ignoring the depth) are not this folder's.
    std::size_t const slash = named.rfind('/');
    if (slash == std::string::npos || named.substr(0, slash) != own) continue;
    if (Utilities::FilesystemUtil::plain_entry_name(response.entry.name)) {
      entries.push_back(std::move(response.entry));
    }
  }
  // Without the folder's own response the answer is about something else: an empty or partial
  // list taken from it would pass for deletions.
  if (!found_own) unnamed_answer(url);
  return entries;
}

void make_directory(SshAccount const& account, std::string const& path) {
  DavRequest request(account, url_of(account.url, path, true), "MKCOL");
  std::optional<long> const status = request.perform();
  if (status == 405) {
    std::optional<Entry> const there = stat_at(account, path, false);
    if (there && there->is_dir) return;
  }
  request.expect_success(status);
}

void remove(SshAccount const& account, std::string const& path) {
  DavRequest request(account, url_of(account.url, path, false), "DELETE");
  request.expect_success(request.perform());
}

void move(SshAccount const& account, std::string const& from, std::string const& to) {
  std::string const destination = url_of(account.url, to, false);
  // Not every server honours "Overwrite: F"; a name that is taken is never given up.
  if (stat_at(account, to, false)) {
    throw http::Error(FileInfoResult::unknown_error,
                      "MOVE target exists: " + http::loggable_url(destination));
  }
  DavRequest request(account, url_of(account.url, from, false), "MOVE");
  request.header("Destination: " + destination);
  request.header("Overwrite: F");
  request.expect_success(request.perform());
}

CopyResult download(SshAccount const& account, std::string const& remote,
                    std::filesystem::path const& local) {
  DavRequest request(account, url_of(account.url, remote, false), "GET");
  std::ofstream out(local, std::ios::binary | std::ios::trunc);
  if (!out) local_file_failure(local);
  request.download_to(out);
  std::optional<long> const status = request.perform();
  out.close();
  if (!status) return CopyResult::Cancelled;
  request.expect_success(status);
  // The last bytes are written by the close: a copy that lost them is no copy.
  if (out.fail()) {
    throw http::Error(
        FileInfoResult::file_info_write_error,
        Utilities::translation::translate_utf8("local_file_write_error") + local.string());
  }
  if (std::optional<std::int64_t> const time = request.file_time()) {
    std::error_code ignored;
    std::filesystem::last_write_time(
        local, Utilities::file_time::to_file_time(static_cast<std::time_t>(*time)), ignored);
  }
  return CopyResult::Done;
}

CopyResult upload(std::filesystem::path const& local, SshAccount const& account,
                  std::string const& remote) {
  std::error_code ec;
  std::uint64_t const size = std::filesystem::file_size(local, ec);
  if (ec) local_file_failure(local);
  auto const modified = std::filesystem::last_write_time(local, ec);
  if (ec) local_file_failure(local);
  std::ifstream in(local, std::ios::binary);
  if (!in) local_file_failure(local);

  DavRequest request(account, url_of(account.url, remote, false), "PUT");
  request.header("X-OC-Mtime: " + std::to_string(Utilities::file_time::to_time_t(modified)));
  request.upload_from(in, size, 0);
  bool accepted = false;
  request.on_header(&note_mtime_accepted, &accepted);
  std::optional<long> const status = request.perform();
  if (!status) return CopyResult::Cancelled;
  request.expect_success(status);
  if (!accepted) {
    std::lock_guard lock(warned_mutex);
    if (warned_accounts().insert(account.name()).second) {
      Utilities::log_at(Utilities::LogLevel::Warning,
                        Utilities::translation::translate("webdav_time_not_kept") + L" " +
                            Utilities::util::string_to_wstring(account.name()));
    }
  }
  return CopyResult::Done;
}

std::string working_address(SshAccount const& account) {
  require_allowed(account.url);
  std::string const base = Utilities::util::without_trailing_chars(account.url, '/');
  std::vector<std::string> candidates{base};
  if (base.find("/remote.php/") == std::string::npos) {
    candidates.push_back(base + NEXTCLOUD_FILES + Utilities::percent::encoded(account.user()));
    candidates.push_back(base + NEXTCLOUD_LEGACY);
  }
  for (std::string const& candidate : candidates) {
    SshAccount probe = account;
    probe.url = candidate;
    DavRequest request(probe, candidate + "/", "PROPFIND");
    std::optional<long> const status = propfind(request, "0");
    if (status == 401) request.fail(401);
    if (status == 207) return candidate;
  }
  throw http::Error(FileInfoResult::unknown_error,
                    Utilities::translation::translate_utf8("webdav_no_dav_at_address") +
                        http::loggable_url(base));
}

}  // namespace KVO_Core::webdav
