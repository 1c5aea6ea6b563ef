#include "drive_fixture.h"

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "test_endpoints.h"
#include "utilities/FileTime.h"
#include "webdav_fixture.h"

namespace drive_test {

namespace {

int next_account = 0;

}  // namespace

std::string bytes_of(std::size_t size) {
  std::mt19937 generator(static_cast<unsigned>(size) * 7919u + 1u);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

void make_file(fs::path const& file, std::string const& content, std::int64_t mtime) {
  test_support::write_file(file, content);
  fs::last_write_time(file, Utilities::file_time::to_file_time(mtime));
}

std::int64_t mtime_of(fs::path const& file) {
  return Utilities::file_time::to_time_t(fs::last_write_time(file));
}

DriveTest::DriveTest(std::string const& store) : server(dir / "server", store) {
  local = dir / "local";
  fs::create_directories(local);
  // A name of its own per test: cached tokens belong to another server's run.
  account.set_name(store + "-" + std::to_string(++next_account));
  account.set_password("refresh-token");
  if (store == "onedrive") {
    account.kind = KVO_Core::SshAccount::OneDrive;
    account.url = server.address("/v1.0");
  } else {
    account.kind = KVO_Core::SshAccount::Dropbox;
    account.url = server.address("/2");
  }
}

DriveTest::~DriveTest() {
  if (::testing::Test::HasFailure())
    for (std::string const& line : server.requests()) std::cerr << "request: " << line << "\n";
}

void DriveTest::expect_nothing_committed(Upload const& upload, std::size_t size,
                                         std::vector<Fault> const& faults) {
  std::string const content = bytes_of(size);
  make_file(local / "f", content, 1650000000);
  test_support::write_file(server.root() / "f", "old");
  for (Fault const& fault : faults) {
    server.set_faults(fault.rules);
    EXPECT_EQ(cloud_test::reason_of_call([&] { upload(local / "f", "/f"); }), fault.reason)
        << fault.rules;
    EXPECT_TRUE(test_support::read_file(server.root() / "f") == "old") << fault.rules;
  }
  server.set_faults("[]");
  ASSERT_EQ(upload(local / "f", "/f"), KVO_Core::CopyResult::Done);
  EXPECT_TRUE(test_support::read_file(server.root() / "f") == content);
}

void DriveTest::expect_stop_cancels(Upload const& upload, std::size_t size, std::uint64_t after) {
  make_file(local / "stopped", bytes_of(size), 1650000000);
  StopAfter sink(stop, after);
  auto* const previous = KVO_Core::RunContext::set_progress_sink(&sink);
  EXPECT_EQ(upload(local / "stopped", "/stopped"), KVO_Core::CopyResult::Cancelled);
  KVO_Core::RunContext::set_progress_sink(previous);
  stop = false;
  EXPECT_FALSE(fs::exists(server.root() / "stopped"));
}

void DriveTest::expect_awkward_names_kept(Operations const& store,
                                          std::function<void()> const& after_uploads) {
  using KVO_Core::CopyResult;
  std::string const names[] = {"caf\xC3\xA9.txt", "smile \xF0\x9F\x98\x80.txt", "hash#tag.txt",
                               "per%25cent%.txt", "quote\"d.txt"};
  std::string const folder = "/docs/\xC3\xA9t\xC3\xA9 #1";
  store.make_directory("/docs");
  store.make_directory("/docs");  // already there
  store.make_directory(folder);
  std::int64_t mtime = 1600000000;
  for (std::string const& name : names) {
    make_file(local / name, "content of " + name, ++mtime);
    ASSERT_EQ(store.upload(local / name, folder + "/" + name), CopyResult::Done) << name;
  }
  if (after_uploads) after_uploads();
  auto const listed = store.list(folder);
  ASSERT_EQ(listed.size(), std::size(names));
  mtime = 1600000000;
  for (std::string const& name : names) {
    auto const found =
        std::find_if(listed.begin(), listed.end(),
                     [&](KVO_Core::webdav::Entry const& e) { return e.name == name; });
    ASSERT_NE(found, listed.end()) << name;
    EXPECT_FALSE(found->is_dir);
    EXPECT_EQ(found->size, ("content of " + name).size());
    EXPECT_EQ(found->mtime, ++mtime);
    std::string const remote = folder + "/" + name;
    auto const entry = store.stat(remote);
    ASSERT_TRUE(entry) << name;
    EXPECT_EQ(entry->name, name);
    fs::path const back = local / ("back-" + name);
    ASSERT_EQ(store.download(remote, back), CopyResult::Done);
    EXPECT_EQ(test_support::read_file(back), "content of " + name);
    EXPECT_EQ(mtime_of(back), mtime);
  }
  // A move to a new name in another folder, then removal of file and folder.
  std::string const from = folder + "/" + names[0];
  store.move(from, "/docs/moved %.txt");
  EXPECT_FALSE(store.stat(from));
  ASSERT_TRUE(store.stat("/docs/moved %.txt"));
  EXPECT_EQ(test_support::read_file(server.root() / "docs" / "moved %.txt"),
            "content of " + names[0]);
  store.remove("/docs/moved %.txt");
  store.remove(folder);
  EXPECT_FALSE(store.stat("/docs/moved %.txt"));
  EXPECT_FALSE(fs::exists(server.root() / "docs" / "\xC3\xA9t\xC3\xA9 #1"));
  requests();
  for (char const* whole : {"", "/", "//"})
    EXPECT_EQ(cloud_test::reason_of_call([&] { store.remove(whole); }),
              Utilities::FilesystemUtil::FileInfoResult::unknown_error);
  EXPECT_TRUE(fs::exists(server.root() / "docs"));
  auto const root = store.stat("/");
  ASSERT_TRUE(root);
  EXPECT_TRUE(root->is_dir);
}

void DriveTest::SetUp() {
  ASSERT_TRUE(server.started()) << "the fake store did not start";
  ASSERT_TRUE(cloud_test::endpoints_at(server.address()));
}

std::vector<Logged> DriveTest::requests() {
  std::vector<Logged> out;
  for (std::string const& line : server.requests()) {
    boost::property_tree::ptree tree;
    std::istringstream in(line);
    boost::property_tree::read_json(in, tree);
    out.push_back({tree.get<std::string>("method"), tree.get<std::string>("path"),
                   tree.get<std::string>("auth"), tree.get<std::string>("range"),
                   tree.get<std::string>("arg"), tree.get<std::uint64_t>("length")});
  }
  server.forget_requests();
  return out;
}

std::vector<Logged> DriveTest::requests(std::string const& part) {
  std::vector<Logged> out;
  for (Logged& r : requests())
    if (r.path.find(part) != std::string::npos) out.push_back(std::move(r));
  return out;
}

}  // namespace drive_test
