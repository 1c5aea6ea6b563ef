#include "smtp_fixture.h"

#include <algorithm>
#include <sstream>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string script() { return std::string(PELLI_SOURCE_DIR) + "/tests/support/smtp_server.sh"; }

}  // namespace

SmtpServer::SmtpServer(std::filesystem::path const& dir, std::string const& mode,
                       std::string const& host, std::uint16_t port, std::string const& cert)
    : dir_(dir) {
  std::string out = run_output(script() + " start '" + dir.string() + "' " + mode + " " + host +
                               " " + std::to_string(port) + " " + cert + " 2>/dev/null");
  std::istringstream words(out);
  std::string word;
  while (words >> word) {
    if (word.rfind("port=", 0) == 0) port_ = static_cast<std::uint16_t>(std::stoi(word.substr(5)));
    if (word.rfind("pid=", 0) == 0) pid_ = std::stoi(word.substr(4));
  }
  if (pid_ == 0) port_ = 0;
}

SmtpServer::~SmtpServer() {
  if (pid_) run(script() + " stop '" + dir_.string() + "' " + std::to_string(pid_));
}

std::vector<SmtpServer::Mail> SmtpServer::mails() const {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (auto const& e : std::filesystem::directory_iterator(dir_ / "mail", ec))
    if (e.path().extension() == ".eml") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::vector<Mail> out;
  for (auto const& f : files) {
    Mail m{read_file(f), {}};
    std::istringstream env(read_file(std::filesystem::path(f).replace_extension(".env")));
    std::string line;
    while (std::getline(env, line)) {
      auto eq = line.find('=');
      if (eq != std::string::npos) m.flags[line.substr(0, eq)] = line.substr(eq + 1);
    }
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace test_support
