// The providers' token and content endpoints moved to a test's loopback server, or why they
// cannot be.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/cloud/oauth/Providers.h"

namespace cloud_test {

// Use as ASSERT_TRUE(endpoints_at(base)) in a fixture's SetUp.
inline ::testing::AssertionResult endpoints_at(std::string const& base) {
#ifdef PELLI_TEST_ENDPOINTS
  if (KVO_Core::oauth::point_endpoints_at(base)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the endpoints cannot move to " << base;
#else
  return ::testing::AssertionFailure()
         << "the token endpoints stay where they are compiled in (" << base
         << "): configure the tests with -DPELLI_TEST_ENDPOINTS=ON";
#endif
}

}  // namespace cloud_test
