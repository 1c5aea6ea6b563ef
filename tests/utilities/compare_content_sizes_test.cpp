// Content comparison of files around the sizes where its blocks change: empty, one block, just
// past a block, and a small file against a large one.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_dir.h"
#include "utilities/FilesystemUtil.h"
#include "utilities/Paths.h"

namespace {

using Utilities::FilesystemUtil::compare_content;
using Utilities::FilesystemUtil::no_failure;
namespace fs = std::filesystem;

TEST(CompareContentSizes, EqualOnlyForTheSameBytesAtEverySize) {
  test_support::TempDir temp;
  auto const pattern = [](std::size_t size, std::size_t flip) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
    if (flip < size) bytes[flip] = '#';
    return bytes;
  };
  std::size_t const none = static_cast<std::size_t>(-1);
  struct Case {
    std::size_t size_a, flip_a, size_b, flip_b;
    bool equal;
  } const cases[] = {
      {0, none, 0, none, true},
      {1, none, 1, none, true},
      {1, none, 1, 0, false},
      {4095, none, 4095, none, true},
      {4096, none, 4096, 4095, false},
      {4096, none, 4097, none, false},
      {4097, none, 4096, none, false},
      {5000, none, 5000, 0, false},
      {5000, none, 5000, 4999, false},
      {5000, none, 5000, none, true},
      {100, none, 600 * 1024, none, false},
      {600 * 1024, none, 100, none, false},
      {256 * 1024, none, 256 * 1024, none, true},
      {256 * 1024, none, 256 * 1024 + 1, none, false},
      {256 * 1024 + 1, none, 256 * 1024 + 1, 256 * 1024, false},
      {700 * 1024, none, 700 * 1024, 300 * 1024, false},
  };
  int row = 0;
  for (auto const& c : cases) {
    auto const a = temp / ("a" + std::to_string(row));
    auto const b = temp / ("b" + std::to_string(row));
    test_support::write_file(a, pattern(c.size_a, c.flip_a));
    test_support::write_file(b, pattern(c.size_b, c.flip_b));
    auto const result = compare_content(Utilities::from_path(a), Utilities::from_path(b));
    EXPECT_EQ(result.equal, c.equal) << "row " << row;
    EXPECT_EQ(result.reason, no_failure) << "row " << row;
    EXPECT_TRUE(result.path.empty()) << "row " << row;
    ++row;
  }
}

// A kernel file says size 0 and holds bytes: reading may stop at the size fstat gave only once
// bytes beyond it are ruled out, never before the first read.
TEST(CompareContentSizes, AFileHoldingMoreThanItsSizeIsReadToItsEnd) {
  test_support::TempDir temp;
  std::ifstream in("/proc/version", std::ios::binary);
  std::string const held{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(held.empty());
  ASSERT_EQ(fs::file_size("/proc/version"), 0u);
  auto const same = temp / "same";
  auto const longer = temp / "longer";
  test_support::write_file(same, held);
  test_support::write_file(longer, held + "x");
  EXPECT_TRUE(compare_content(L"/proc/version", Utilities::from_path(same)).equal);
  EXPECT_TRUE(compare_content(Utilities::from_path(same), L"/proc/version").equal);
  EXPECT_FALSE(compare_content(L"/proc/version", Utilities::from_path(longer)).equal);
  EXPECT_FALSE(compare_content(Utilities::from_path(longer), L"/proc/version").equal);
}

}  // namespace
