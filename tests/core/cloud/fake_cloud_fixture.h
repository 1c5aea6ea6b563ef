// The loopback token endpoint and Drive of tests/support/fake_cloud.py, with the providers'
// endpoints moved to it, and a Drive account of the test's own on it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "cloud_fixture.h"
#include "core/run/RunContext.h"
#include "support/fake_cloud.h"
#include "test_endpoints.h"

namespace cloud_test {

using Tree = boost::property_tree::ptree;

inline Tree parsed(std::string const& json) {
  Tree tree;
  std::istringstream stream(json);
  boost::property_tree::read_json(stream, tree);
  return tree;
}

// A JSON string literal of the text (for the control calls' bodies).
inline std::string json_string(std::string const& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

class FakeCloudFixture : public CloudFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cloud.started()) << "the fake cloud server did not start";
    ASSERT_TRUE(endpoints_at(cloud.base()));
  }

  // A Google Drive account on the fake; the name keys the process-wide caches, so each test
  // uses names of its own.
  KVO_Core::SshAccount drive(std::string const& name, std::string const& refresh = "refresh-1") {
    KVO_Core::SshAccount account;
    account.set_name(name);
    account.set_password(refresh);
    account.kind = KVO_Core::SshAccount::GoogleDrive;
    account.url = cloud.base();
    return account;
  }
  void configure(std::string const& json) { cloud.control("config", json); }
  Tree state() const { return parsed(cloud.control("state")); }
  // "METHOD path" of every Drive and token request so far, in order.
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    auto const all = state();
    for (auto const& [key, request] : all.get_child("requests")) {
      lines.push_back(request.get<std::string>("method") + " " + request.get<std::string>("path"));
    }
    return lines;
  }

  test_support::TempDir scratch_;
  test_support::FakeCloud cloud{scratch_.path()};
  // Transfers run as in a pass that nobody stops.
  std::atomic<bool> running{false};
  KVO_Core::RunContext::StopOverride go{running};
};

}  // namespace cloud_test
