#include "sftp_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string script() { return std::string(PELLI_SOURCE_DIR) + "/tests/support/sftp_server.sh"; }

// Every process below `root`: the per-connection servers and whatever they started.
std::vector<int> descendants_of(int root) {
  std::multimap<int, int> children;
  std::error_code ec;
  for (auto const& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string const name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string const stat = read_file(entry.path() / "stat");
    std::size_t const close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    int ppid = 0;
    rest >> state >> ppid;
    children.emplace(ppid, std::stoi(name));
  }
  std::vector<int> found;
  std::vector<int> open{root};
  while (!open.empty()) {
    int const parent = open.back();
    open.pop_back();
    for (auto [it, end] = children.equal_range(parent); it != end; ++it) {
      found.push_back(it->second);
      open.push_back(it->second);
    }
  }
  return found;
}

}  // namespace

SftpServer::SftpServer(std::filesystem::path const& dir) : dir_(dir) {
  std::istringstream words(run_output(script() + " start '" + dir.string() + "'"));
  std::string word;
  while (words >> word) {
    if (word.rfind("port=", 0) == 0) port_ = static_cast<std::uint16_t>(std::stoi(word.substr(5)));
    if (word.rfind("pid=", 0) == 0) pid_ = std::stoi(word.substr(4));
  }
  if (pid_ == 0) port_ = 0;
}

SftpServer::~SftpServer() {
  if (pid_) resume();  // a stopped server would not see the end below
  if (pid_) run(script() + " stop '" + dir_.string() + "'");
}

void SftpServer::set_shim_mode(std::string const& mode) const {
  std::ofstream(dir_ / "shim_mode") << mode << "\n";
}

std::string SftpServer::host_key(std::string const& kind) const {
  std::istringstream line(read_file(dir_ / ("host_" + kind + ".pub")));
  std::string type, blob;
  line >> type >> blob;
  return type + " " + blob;
}

void SftpServer::kill_connections() const {
  for (int child : descendants_of(pid_)) ::kill(child, SIGKILL);
}

void SftpServer::suspend() const {
  ::kill(pid_, SIGSTOP);
  for (int child : descendants_of(pid_)) ::kill(child, SIGSTOP);
}

void SftpServer::resume() const {
  for (int child : descendants_of(pid_)) ::kill(child, SIGCONT);
  ::kill(pid_, SIGCONT);
}

SilentListener::SilentListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 8) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return;
  port_ = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint16_t closed_port() {
  SilentListener taken;
  return taken.port();
}

void open_for_everyone(std::filesystem::path const& root, std::filesystem::path const& dir) {
  for (std::filesystem::path p = dir;; p = p.parent_path()) {
    ::chmod(p.c_str(), 0755);
    if (p == root || p == p.parent_path()) break;
  }
}

}  // namespace test_support
