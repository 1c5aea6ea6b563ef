#include "fake_cloud.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/temp_dir.h"

namespace test_support {

FakeCloud::FakeCloud(std::filesystem::path const& dir) {
  auto const port_file = dir / "fake_cloud.port";
  std::string const script = std::string(PELLI_SOURCE_DIR) + "/tests/support/fake_cloud.py";
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test that crashes takes its server with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::execl("/usr/bin/python3", "python3", script.c_str(), "--port-file", port_file.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (pid_ < 0) {
    pid_ = 0;
    return;
  }
  for (int i = 0; i < 200 && port_ == 0; ++i) {
    std::string text = read_file(port_file);
    if (!text.empty())
      port_ = static_cast<std::uint16_t>(std::stoi(text));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

FakeCloud::~FakeCloud() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string FakeCloud::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string FakeCloud::control(std::string const& command, std::string const& json) const {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "POST /_control/" + command + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          "Connection: close\r\nContent-Length: " + std::to_string(json.size()) +
                          "\r\n\r\n" + json;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, got);
    }
  }
  ::close(fd);
  auto const body = answer.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

}  // namespace test_support
