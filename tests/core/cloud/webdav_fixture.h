// A loopback Apache WebDAV server per test and an account that names it.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "core/cloud/http/Request.h"
#include "core/config/Accounts.h"
#include "core/run/RemoteFailure.h"
#include "core/run/RunContext.h"
#include "support/temp_dir.h"
#include "support/webdav_server.h"

namespace cloud_test {

namespace fs = std::filesystem;

// The reason of the RemoteFailure that `call` throws; 0 when it throws none.
template <typename Call>
int reason_of_call(Call&& call) {
  try {
    call();
  } catch (KVO_Core::RemoteFailure const& e) {
    return e.reason;
  }
  return 0;
}

class WebdavTest : public ::testing::Test {
 protected:
  explicit WebdavTest(bool https = false) : server(dir / "server", https) {}

  void SetUp() override { ASSERT_TRUE(server.started()) << "the loopback Apache did not start"; }
  void TearDown() override { KVO_Core::http::set_ca_file(""); }

  KVO_Core::SshAccount account(std::string const& view = "dav") const {
    KVO_Core::SshAccount a;
    a.set_name("dav-" + view);
    a.set_user(test_support::WebdavServer::user());
    a.set_password(test_support::WebdavServer::password());
    a.url = server.url(view);
    return a;
  }

  // A local file of `size` bytes that are not all alike.
  fs::path local_file(std::string const& name, std::size_t size) const {
    std::string bytes(size, '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    for (char& c : bytes) c = static_cast<char>(random());
    test_support::write_file(dir / "local" / name, bytes);
    return dir / "local" / name;
  }

  test_support::TempDir dir;
  test_support::WebdavServer server;
  // Transfers run as in a pass that nobody stops.
  std::atomic<bool> running{false};
  KVO_Core::RunContext::StopOverride go{running};
};

}  // namespace cloud_test
