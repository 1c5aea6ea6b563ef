#include <gtest/gtest.h>

#include "core/cloud/http/Request.h"
#include "support/hostile_http.h"
#include "support/temp_dir.h"

namespace {

using namespace KVO_Core;
using Utilities::FilesystemUtil::FileInfoResult;

// A failed status becomes a reason and a text of the status, the answer's own message when it
// names one, and the address without its query.
TEST(HttpAnswers, FailedStatusesGiveTheirReasonAndText) {
  struct {
    int status;
    std::string body;
    FileInfoResult reason;
    std::string message;  // between "HTTP <status>" and the address
  } const cases[] = {
      {403, R"({"error": {"message": "no access", "code": 7}})", FileInfoResult::permission_denied,
       ": no access"},
      {400, R"({"error": "invalid_grant", "error_description": "token expired"})",
       FileInfoResult::unknown_error, ": token expired"},
      {409, R"({"error_summary": "path/conflict/", "error": {".tag": "path"}})",
       FileInfoResult::unknown_error, ": path/conflict/"},
      {403, R"({"error": {"errors": [{"reason": "storageQuotaExceeded"}]}})",
       FileInfoResult::remote_storage_full, ""},
      {404, "<html>not here</html>", FileInfoResult::file_not_exist, ""},
      {503, std::string(100000, '['), FileInfoResult::server_unavailable, ""},
      {302, "", FileInfoResult::unknown_error, ""},
  };
  test_support::TempDir dir;
  for (auto const& c : cases) {
    SCOPED_TRACE(c.status);
    test_support::HostileHttp const server(dir.path(), c.status, c.body);
    ASSERT_TRUE(server.started());
    std::string const address = "http://127.0.0.1:" + std::to_string(server.port()) + "/x";
    http::Request request(address + "?token=secret", "GET");
    std::optional<long> const status = request.perform();
    ASSERT_EQ(status, c.status);
    try {
      request.expect_success(status);
      ADD_FAILURE() << "no failure";
    } catch (http::Error const& e) {
      EXPECT_EQ(e.reason, c.reason);
      EXPECT_EQ(std::string(e.what()),
                "HTTP " + std::to_string(c.status) + c.message + " " + address);
    }
  }
}

TEST(HttpAnswers, TransportFailuresTellAnUnreachableServer) {
  for (std::string const address : {"http://no-such-host.invalid/x", "http://127.0.0.1:1/x"}) {
    SCOPED_TRACE(address);
    http::Request request(address, "GET");
    EXPECT_THROW(request.perform(), SshUnreachable);
  }
}

}  // namespace
