// Files that block or never end when read, and the folders that hold them.
#include "platform/SystemAreas.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "support/temp_dir.h"

TEST(SystemAreas, RootsAreDevProcSys) {
  auto roots = platform::system_area_roots();
  std::vector<std::filesystem::path> expected{"/dev", "/proc", "/sys"};
  EXPECT_EQ(std::vector<std::filesystem::path>(roots.begin(), roots.end()), expected);
}

TEST(SystemAreas, SpecialFilesByType) {
  test_support::TempDir temp;
  test_support::write_file(temp / "file", "x");
  ASSERT_EQ(::mkfifo((temp / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(temp / "fifo", temp / "link-to-fifo");

  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  auto sock_path = (temp / "sock").string();
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  struct Case {
    std::filesystem::path path;
    bool special;
  } const cases[] = {
      {"/dev/null", true},       {temp / "fifo", true},  {temp / "link-to-fifo", true},
      {temp / "sock", true},     {temp / "file", false}, {temp.path(), false},
      {temp / "missing", false},
  };
  for (auto const& c : cases) EXPECT_EQ(platform::special_file(c.path), c.special) << c.path;
  ::close(sock);
}
