// The running program finds its own file.
#include "platform/ExecutablePath.h"

#include <gtest/gtest.h>

TEST(ExecutablePath, IsThisTestProgram) {
  auto self = platform::executable_path();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(self.is_absolute());
  EXPECT_EQ(self.filename(), "platform_tests");
  EXPECT_TRUE(std::filesystem::is_regular_file(self));
}
