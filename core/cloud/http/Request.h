// One HTTP exchange of a web store on the calling thread's libcurl handle: fixed connection and
// stall limits, the transfer-rate cap, progress and stop for transfers, bounded answers, and the
// translation of transport failures and error statuses into failure reasons.
//
// A thread configures and performs one Request before it constructs the next: the constructor
// resets the handle that all of the thread's requests share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "core/run/RemoteFailure.h"
#include "utilities/FailureReasons.h"

typedef void CURL;
struct curl_slist;

namespace KVO_Core::http {

// A failed request: the reason and a UTF-8 text without credentials.
class Error : public RemoteFailure {
 public:
  using RemoteFailure::RemoteFailure;
};

// Answers collected in memory (everything but downloads) longer than this fail the request
// with reason 37 instead of growing without end.
inline constexpr std::size_t MAX_ANSWER_BYTES = 64u << 20;

class Request {
 public:
  using HeaderCallback = std::size_t (*)(char* line, std::size_t size, std::size_t count,
                                         void* data);

  // Resets the thread's handle and sets the fixed options. Throws Error 37 when the thread has
  // no libcurl handle.
  Request(std::string const& url, char const* method);
  ~Request();
  Request(Request const&) = delete;
  Request& operator=(Request const&) = delete;

  // Authentication, at most one.
  void basic_auth(std::string const& user, std::string const& password);
  void bearer(std::string const& token);
  // A whole header line: name, colon, blank, value.
  void header(std::string const& line);
  // The payload, at most one. download_to fails statuses of 400 and more as transport errors;
  // upload_from sends exactly `size` bytes from the stream's current position.
  void body(std::string const& text);
  void download_to(std::ofstream& out);
  void upload_from(std::ifstream& in, std::uint64_t size, std::uint64_t progress_base);
  // Sees every raw header line of the answer, line end included; returns size x count.
  void on_header(HeaderCallback callback, void* data);
  void without_body();

  // The HTTP status; none when a stop request aborted a download or upload. Throws
  // SshUnreachable (no name, no connection, time-out, TLS handshake) or Error on other
  // transport failures, an answer over MAX_ANSWER_BYTES included.
  std::optional<long> perform();
  // Returns for no status and for 200..299; throws Error through fail otherwise.
  void expect_success(std::optional<long> status) const;
  // Throws Error with reason_of(status) and "HTTP <status>[: <message>] <url>".
  [[noreturn]] void fail(long status) const;
  // The server's modification time of a download in Unix seconds, when it named one.
  std::optional<std::int64_t> file_time() const;

  std::string const& address() const { return url; }

  struct UploadReader {
    std::ifstream* stream = nullptr;
    std::uint64_t remaining = 0;
    std::uint64_t size = 0;
    std::streamoff start = 0;

    static std::size_t read(char* buffer, std::size_t size, std::size_t count, void* data);
    static int seek(void* data, std::int64_t offset, int origin);
  };

 private:
  static std::size_t append_response(char* data, std::size_t size, std::size_t count, void* self);
  void report_progress();

  CURL* handle = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  std::string payload;

 public:
  // The answer body of every request but a download.
  std::string response;

 private:
  char errbuf[256] = {};
  UploadReader upload;
  std::uint64_t progress_base = 0;
  bool answer_too_long = false;
};

// Header lines of an answer by name in lower case, values trimmed.
using Headers = std::map<std::string, std::string>;
// A Request::HeaderCallback that stores each "name: value" line in the Headers at `headers`.
std::size_t note_header(char* data, std::size_t size, std::size_t count, void* headers);

// The failure reason of a libcurl result code.
Utilities::FilesystemUtil::FileInfoResult transport_reason(int code);
// The failure reason of an HTTP error status; the answer only tells a full store apart.
Utilities::FilesystemUtil::FileInfoResult reason_of(long status, std::string const& answer);
// A date of an HTTP header in Unix seconds; -1 when the text is not a date.
std::int64_t parse_date(std::string const& text);
// The URL for a log or failure text: user information and query string dropped.
std::string loggable_url(std::string const& url);

// The certificate authorities that TLS peers are checked against (a PEM file); empty (the
// default) means the system's. libcurl ignores SSL_CERT_FILE, so tests of https set this.
// Applies from the next request on any thread.
void set_ca_file(std::string const& path);

}  // namespace KVO_Core::http
