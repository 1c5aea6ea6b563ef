#include "webdav_server.h"

#include <unistd.h>

#include <sstream>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string script() { return std::string(PELLI_SOURCE_DIR) + "/tests/support/webdav_server.sh"; }

}  // namespace

WebdavServer::WebdavServer(std::filesystem::path const& dir, bool https)
    : dir_(dir), https_(https) {
  std::istringstream words(
      run_output(script() + " start '" + dir.string() + "' " + (https ? "https" : "http")));
  std::string word;
  while (words >> word) {
    if (word.rfind("port=", 0) == 0) port_ = static_cast<std::uint16_t>(std::stoi(word.substr(5)));
    if (word.rfind("pid=", 0) == 0) pid_ = std::stoi(word.substr(4));
  }
  if (pid_ == 0) port_ = 0;
}

WebdavServer::~WebdavServer() {
  if (pid_) run(script() + " stop '" + dir_.string() + "'");
}

std::string WebdavServer::url(std::string const& view) const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" +
         view + "/";
}

void WebdavServer::adopt() const {
  if (::geteuid() == 0) run("chown -R www-data: '" + root().string() + "'");
}

}  // namespace test_support
