#include "core/cloud/http/Request.h"

#include <curl/curl.h>
#include <signal.h>

#include <array>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <mutex>
#include <sstream>
#include <string_view>

#include "core/config/Config.h"
#include "core/config/JsonDepth.h"
#include "core/run/RunContext.h"
#include "utilities/Util.h"

namespace KVO_Core::http {

using Utilities::FilesystemUtil::FileInfoResult;

namespace {

std::once_flag initialised;

// The calling thread's easy handle, made on its first request and kept until the thread ends,
// so that connections and the name cache survive between requests.
struct ThreadHandle {
  ThreadHandle() {
    std::call_once(initialised, [] {
      // A server that closes while a request body is being sent must not end the process
      // (libcurl leaves SIGPIPE alone with CURLOPT_NOSIGNAL).
      struct sigaction current {};
      if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL &&
          (current.sa_flags & SA_SIGINFO) == 0) {
        signal(SIGPIPE, SIG_IGN);
      }
      curl_global_init(CURL_GLOBAL_ALL);
    });
    handle = curl_easy_init();
  }
  ~ThreadHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
  ThreadHandle(ThreadHandle const&) = delete;
  ThreadHandle& operator=(ThreadHandle const&) = delete;

  CURL* handle = nullptr;
};

CURL* thread_handle() {
  thread_local ThreadHandle owner;
  return owner.handle;
}

std::mutex ca_mutex;
std::string& ca_path() {
  static std::string path;
  return path;
}

std::string ca_file() {
  std::lock_guard lock(ca_mutex);
  return ca_path();
}

std::uint64_t rate_cap() {
  return std::uint64_t{Config::instance()->settings.get().TransferLimitKB} * 1024;
}

std::size_t write_file(char* data, std::size_t size, std::size_t count, void* stream) {
  auto& out = *static_cast<std::ofstream*>(stream);
  std::size_t const bytes = size * count;
  out.write(data, static_cast<std::streamsize>(bytes));
  return out ? bytes : 0;
}

int transfer_progress(void* data, curl_off_t, curl_off_t download_now, curl_off_t,
                      curl_off_t upload_now) {
  if (download_now + upload_now > 0) {
    RunContext::report_copied_bytes(*static_cast<std::uint64_t*>(data) +
                                    static_cast<std::uint64_t>(download_now + upload_now));
  }
  return RunContext::stopping() ? 1 : 0;
}

bool names_quota(std::string const& answer) {
  static constexpr std::array<std::string_view, 6> phrases = {
      "insufficient_space", "insufficient storage", "storagequotaexceeded",
      "quotalimitreached",  "quotaexceeded",        "quota exceeded"};
  std::string const lower = Utilities::util::lowercase(answer);
  for (std::string_view phrase : phrases) {
    if (lower.find(phrase) != std::string::npos) return true;
  }
  return false;
}

// The first non-empty message of a JSON error answer; empty when the answer is not JSON.
std::string error_message(std::string const& answer) {
  namespace pt = boost::property_tree;
  pt::ptree tree;
  try {
    check_json_depth(std::string_view(answer));
    std::istringstream in(answer);
    pt::read_json(in, tree);
  } catch (std::exception const&) {
    return {};
  }
  for (char const* path :
       {"error.message", "error_description", "error_summary", "message", "error"}) {
    auto const node = tree.get_child_optional(pt::ptree::path_type(path, '.'));
    if (node && !node->data().empty()) return node->data();
  }
  return {};
}

}  // namespace

Request::Request(std::string const& address, char const* method)
    : handle(thread_handle()), url(address) {
  if (!handle) throw Error(FileInfoResult::unknown_error, "libcurl could not be initialised");
  curl_easy_reset(handle);
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "Pellimoravin");
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Request::append_response);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
  auto const cap = static_cast<curl_off_t>(rate_cap());
  curl_easy_setopt(handle, CURLOPT_MAX_SEND_SPEED_LARGE, cap);
  curl_easy_setopt(handle, CURLOPT_MAX_RECV_SPEED_LARGE, cap);
  // Stores speak HTTP only, whatever a URL or a server's answer names.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  if (std::string const ca = ca_file(); !ca.empty()) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, ca.c_str());  // libcurl copies the text
  }
}

Request::~Request() {
  if (headers) curl_slist_free_all(headers);
}

void Request::basic_auth(std::string const& user, std::string const& password) {
  curl_easy_setopt(handle, CURLOPT_USERNAME, user.c_str());
  curl_easy_setopt(handle, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
}

void Request::bearer(std::string const& token) { header("Authorization: Bearer " + token); }

void Request::header(std::string const& line) {
  curl_slist* const grown = curl_slist_append(headers, line.c_str());
  if (!grown) throw std::bad_alloc();
  headers = grown;
}

void Request::body(std::string const& text) {
  payload = text;
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, payload.c_str());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
}

void Request::download_to(std::ofstream& out) {
  curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(handle, CURLOPT_FILETIME, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &write_file);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&out));
  // Pieces of 100 KiB: a large download in libcurl's default 16 KiB spends its time in calls.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 100L * 1024);
  report_progress();
}

void Request::upload_from(std::ifstream& in, std::uint64_t size, std::uint64_t base) {
  header("Expect:");
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  upload = UploadReader{&in, size, size, static_cast<std::streamoff>(in.tellg())};
  progress_base = base;
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, &UploadReader::read);
  curl_easy_setopt(handle, CURLOPT_READDATA, static_cast<void*>(&upload));
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &UploadReader::seek);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, static_cast<void*>(&upload));
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
  report_progress();
}

void Request::on_header(HeaderCallback callback, void* data) {
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, callback);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, data);
}

void Request::without_body() { curl_easy_setopt(handle, CURLOPT_NOBODY, 1L); }

void Request::report_progress() {
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &transfer_progress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void*>(&progress_base));
}

std::size_t Request::append_response(char* data, std::size_t size, std::size_t count, void* self) {
  auto& request = *static_cast<Request*>(self);
  std::size_t const bytes = size * count;
  if (bytes > MAX_ANSWER_BYTES - request.response.size()) {
    request.answer_too_long = true;
    return 0;  // libcurl aborts with a write error
  }
  request.response.append(data, bytes);
  return bytes;
}

std::size_t Request::UploadReader::read(char* buffer, std::size_t size, std::size_t count,
                                        void* data) {
  auto& reader = *static_cast<UploadReader*>(data);
  std::uint64_t const wanted = std::min<std::uint64_t>(reader.remaining, size * count);
  reader.stream->read(buffer, static_cast<std::streamsize>(wanted));
  if (reader.stream->bad()) return CURL_READFUNC_ABORT;
  auto const got = static_cast<std::uint64_t>(reader.stream->gcount());
  // A file that shrank under the upload must not pass for a complete one.
  if (got < wanted) return CURL_READFUNC_ABORT;
  reader.remaining -= got;
  return static_cast<std::size_t>(got);
}

int Request::UploadReader::seek(void* data, std::int64_t offset, int origin) {
  auto& reader = *static_cast<UploadReader*>(data);
  if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > reader.size) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  reader.stream->clear();
  reader.stream->seekg(reader.start + static_cast<std::streamoff>(offset));
  if (!*reader.stream) return CURL_SEEKFUNC_FAIL;
  reader.remaining = reader.size - static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

std::optional<long> Request::perform() {
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  CURLcode const code = curl_easy_perform(handle);
  if (code == CURLE_ABORTED_BY_CALLBACK && RunContext::stopping()) return std::nullopt;
  if (answer_too_long) {
    throw Error(FileInfoResult::unknown_error, "HTTP answer longer than " +
                                                   std::to_string(MAX_ANSWER_BYTES) + " bytes " +
                                                   loggable_url(url));
  }
  if (code != CURLE_OK) {
    std::string const text = errbuf[0] != 0 ? std::string(errbuf) : curl_easy_strerror(code);
    FileInfoResult const reason = transport_reason(code);
    switch (code) {
      case CURLE_COULDNT_RESOLVE_PROXY:
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_CONNECT:
      case CURLE_OPERATION_TIMEDOUT:
      case CURLE_SSL_CONNECT_ERROR:
        throw SshUnreachable(text, reason);
      default:
        throw Error(reason, text);
    }
  }
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

void Request::expect_success(std::optional<long> status) const {
  if (!status || (*status >= 200 && *status <= 299)) return;
  fail(*status);
}

void Request::fail(long status) const {
  std::string const message = error_message(response);
  std::string text = "HTTP " + std::to_string(status);
  if (!message.empty()) text += ": " + message;
  text += " " + loggable_url(url);
  throw Error(reason_of(status, response), text);
}

std::optional<std::int64_t> Request::file_time() const {
  curl_off_t time = -1;
  if (curl_easy_getinfo(handle, CURLINFO_FILETIME_T, &time) != CURLE_OK || time <= 0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(time);
}

FileInfoResult transport_reason(int code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return FileInfoResult::network_unavailable;
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
      return FileInfoResult::server_connect_failed;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return FileInfoResult::connection_lost;
    case CURLE_OPERATION_TIMEDOUT:
      return FileInfoResult::connection_timeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return FileInfoResult::server_not_trusted;
    default:
      return FileInfoResult::unknown_error;
  }
}

FileInfoResult reason_of(long status, std::string const& answer) {
  switch (status) {
    case 401:
      return FileInfoResult::authentication_failed;
    case 403:
      return names_quota(answer) ? FileInfoResult::remote_storage_full
                                 : FileInfoResult::permission_denied;
    case 404:
      return FileInfoResult::file_not_exist;
    case 405:
    case 501:
      return FileInfoResult::unsupported_operation;
    case 409:
      return names_quota(answer) ? FileInfoResult::remote_storage_full
                                 : FileInfoResult::unknown_error;
    case 413:
      return names_quota(answer) ? FileInfoResult::remote_storage_full
                                 : FileInfoResult::file_too_large;
    case 414:
      return FileInfoResult::path_too_long;
    case 429:
    case 502:
    case 503:
    case 504:
      return FileInfoResult::server_unavailable;
    case 507:
      return FileInfoResult::remote_storage_full;
    default:
      return FileInfoResult::unknown_error;
  }
}

std::int64_t parse_date(std::string const& text) {
  return static_cast<std::int64_t>(curl_getdate(text.c_str(), nullptr));
}

std::size_t note_header(char* data, std::size_t size, std::size_t count, void* headers) {
  std::string_view const line(data, size * count);
  std::size_t const colon = line.find(':');
  if (colon != std::string_view::npos) {
    (*static_cast<Headers*>(
        headers))[Utilities::util::lowercase(std::string(line.substr(0, colon)))] =
        Utilities::util::trimmed(line.substr(colon + 1));
  }
  return size * count;
}

std::string loggable_url(std::string const& url) {
  std::string text = url.substr(0, url.find_first_of("?#"));
  std::size_t const scheme = text.find("://");
  std::size_t const host = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t const end = text.find('/', host);
  std::size_t const at = text.rfind('@', end == std::string::npos ? text.size() : end);
  if (at != std::string::npos && at >= host) text.erase(host, at + 1 - host);
  return text;
}

void set_ca_file(std::string const& path) {
  std::lock_guard lock(ca_mutex);
  ca_path() = path;
}

}  // namespace KVO_Core::http
