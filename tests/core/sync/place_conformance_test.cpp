// One table of cases run against every kind of side an item can have. A side that serves does
// the real thing; a side that cannot serve (a remote account whose store is not reachable) must
// answer every case with a failure value, never with a success it did not have. A new remote
// store joins by adding a row.
#include <sys/stat.h>

#include <functional>
#include <memory>

#include "core/config/Config.h"
#include "core/remote/RemoteOps.h"
#include "core/run/SyncReport.h"
#include "core/sync/LocalPlace.h"
#include "core/sync/RemotePlace.h"
#include "engine_fixture.h"
#include "support/s3_server.h"
#include "support/sftp_server.h"
#include "support/webdav_server.h"

namespace {

using namespace KVO_Core;
using engine_test::w;
namespace fs = std::filesystem;
namespace fsu = Utilities::FilesystemUtil;

// A side under test and an existing empty folder on it where a case may write.
class SideUnderTest {
 public:
  virtual ~SideUnderTest() = default;
  virtual Place const& side() const = 0;
  virtual std::wstring root() const = 0;
  virtual bool serves() const = 0;
  // Times and rights are set by the side itself, not only by its uploads.
  virtual bool sets_times() const = 0;
  // The store tells its free room (a web store does not).
  virtual bool tells_room() const = 0;
  // Why the side could not be made ready; empty when it is.
  virtual std::string problem() const { return {}; }
};

class LocalSide : public SideUnderTest {
 public:
  Place const& side() const override { return place_; }
  std::wstring root() const override { return w(dir_.path()); }
  bool serves() const override { return true; }
  bool sets_times() const override { return true; }
  bool tells_room() const override { return true; }

 private:
  test_support::TempDir dir_;
  LocalPlace place_;
};

// An account that no configuration knows: reading fails for want of the account, writing as the
// remote layer does for a store it cannot write to.
class UnreachableRemoteSide : public SideUnderTest {
 public:
  Place const& side() const override { return place_; }
  std::wstring root() const override { return L"nosuchaccount:/srv/data"; }
  bool serves() const override { return false; }
  bool sets_times() const override { return false; }
  bool tells_room() const override { return false; }

 private:
  RemotePlace place_{L"nosuchaccount:/srv/data"};
};

// A side on an account of the configuration, taken out of it again at the end.
class AccountSide : public SideUnderTest {
 public:
  ~AccountSide() override {
    auto const all = Config::instance()->ssh_accounts_snapshot();
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i].name() == name_) {
        Config::instance()->remove_ssh_account(i);
        break;
      }
  }
  Place const& side() const override { return place_; }
  std::wstring root() const override { return root_; }
  bool serves() const override { return true; }
  bool sets_times() const override { return false; }
  std::string problem() const override { return problem_; }

 protected:
  explicit AccountSide(std::string const& name) : name_(name) {}
  // Adds the account and makes the side's empty folder at `folder` (a path of the account).
  void open(SshAccount account, std::string const& folder) {
    account.set_name(name_);
    Config::instance()->add(account, true);
    root_ = Utilities::util::string_to_wstring(name_ + ":" + folder);
    if (!ssh_mkdir_p(root_)) problem_ = "the side's folder could not be made";
    ssh_take_failure_reason();
  }
  std::string problem_;

 private:
  std::string name_;
  std::wstring root_;
  RemotePlace place_{Utilities::util::string_to_wstring(name_ + ":/")};
};

// The loopback sshd, logged in to as root with the server's key; HOME lies in a temp folder so
// that known_hosts never lands in the real one.
class SftpSide : public AccountSide {
 public:
  SftpSide() : AccountSide("conform_sftp") {
    if (!server_.started()) {
      problem_ = "the loopback sshd did not start";
      return;
    }
    SshAccount account;
    account.set_user("root");
    account.set_host("127.0.0.1");
    account.port = server_.port();
    account.keyFile = server_.client_key().string();
    open(account, (data_.path() / "side").string());
  }
  bool tells_room() const override { return true; }

 private:
  test_support::TempDir home_;
  test_support::ScopedEnv home_env_{"HOME", home_.path().c_str()};
  test_support::TempDir server_dir_;
  test_support::SftpServer server_{server_dir_.path() / "server"};
  test_support::TempDir data_;
};

// The loopback Apache with mod_dav.
class WebdavSide : public AccountSide {
 public:
  WebdavSide() : AccountSide("conform_dav") {
    if (!server_.started()) {
      problem_ = "the loopback Apache did not start";
      return;
    }
    SshAccount account;
    account.set_user(test_support::WebdavServer::user());
    account.set_password(test_support::WebdavServer::password());
    account.url = server_.url();
    open(account, "/side");
  }
  bool tells_room() const override { return false; }

 private:
  test_support::TempDir dir_;
  test_support::WebdavServer server_{dir_.path() / "server"};
};

// A new bucket of the run's loopback S3 server.
class S3Side : public AccountSide {
 public:
  S3Side() : AccountSide("conform_s3") {
    test_support::S3Server const& server = test_support::S3Server::shared();
    if (!server.started()) {
      problem_ = server.problem();
      return;
    }
    SshAccount account;
    account.kind = SshAccount::S3;
    account.url = server.endpoint();
    account.region = server.region();
    account.set_user(server.access_key());
    account.set_password(server.secret_key());
    open(account, "/" + server.new_bucket() + "/side");
  }
  bool tells_room() const override { return false; }
};

struct Row {
  char const* name;
  std::function<std::unique_ptr<SideUnderTest>()> make;
};

class PlaceConformance : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override { ASSERT_EQ(under_test_->problem(), ""); }
  void TearDown() override {
    // The remote layer's thread-local reason never leaks past a side.
    EXPECT_EQ(ssh_take_failure_reason(), 0);
  }

  Place const& side() const { return under_test_->side(); }
  bool serves() const { return under_test_->serves(); }
  std::wstring at(std::string const& relative) const {
    return under_test_->root() + L"/" + Utilities::util::string_to_wstring(relative);
  }
  std::wstring local_file(std::string const& name, std::string const& content) {
    test_support::write_file(local_ / name, content);
    return w(local_ / name);
  }
  // Puts a file with the content on the side; false when the side could not take it.
  bool put(std::string const& relative, std::string const& content) {
    CopyFailure failure;
    return side().write(local_side_, local_file("put", content), at(relative), failure) ==
           CopyResult::Done;
  }
  std::string content_of(std::string const& relative) {
    fs::remove(local_ / "got");
    CopyFailure failure;
    if (side().read_into(at(relative), w(local_ / "got"), failure) != CopyResult::Done) return "?";
    return test_support::read_file(local_ / "got");
  }

  engine_test::LogLines log;
  engine_test::Running running;
  SyncReport report;
  SyncReportGuard guard{&report};
  test_support::TempDir local_;
  LocalPlace local_side_;
  std::unique_ptr<SideUnderTest> under_test_ = GetParam().make();
};

TEST_P(PlaceConformance, FoldersAreMadeListedAndRemovedOnlyWhenEmpty) {
  PlaceFailure const made = side().make_folders(at("a/b"));
  PlaceListing const listing = side().list(at("a"));
  PlaceListing const missing = side().list(at("missing"));
  if (!serves()) {
    EXPECT_NE(made.reason, 0);
    EXPECT_EQ(made.path, at("a/b"));
    EXPECT_FALSE(listing.complete);
    EXPECT_NE(listing.failure.reason, 0);
    EXPECT_FALSE(missing.complete);
    EXPECT_EQ(side().folder(at("a")), FolderPresence::Unknown);
    EXPECT_NE(side().remove_empty_folder(at("a/b")).reason, 0);
    return;
  }
  EXPECT_FALSE(made);
  ASSERT_TRUE(listing.complete);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].name, L"b");
  EXPECT_EQ(listing.entries[0].kind, EntryKind::Directory);
  // A listing that could not be made is never an empty folder.
  EXPECT_FALSE(missing.complete);
  EXPECT_EQ(missing.failure.reason, fsu::file_not_exist);
  EXPECT_FALSE(side().make_folders(at("a/b"))) << "an existing folder is no failure";

  EXPECT_EQ(side().remove_empty_folder(at("a")).reason, fsu::file_conflict);
  EXPECT_EQ(side().folder(at("a/b")), FolderPresence::Present);
  EXPECT_FALSE(side().remove_empty_folder(at("a/b")));
  EXPECT_EQ(side().folder(at("a/b")), FolderPresence::Absent);
}

TEST_P(PlaceConformance, AWrittenFileIsObservedAndReadBackByteForByte) {
  for (std::size_t const size : {std::size_t{0}, std::size_t{1}, (std::size_t{1} << 20) + 1}) {
    std::string const bytes(size, 'x');
    bool const written = put("f", bytes);
    std::optional<ObservedFile> const seen = side().observe(at("f"));
    std::optional<EntryInfo> const entry = side().entry(at("f"));
    if (!serves()) {
      EXPECT_FALSE(written);
      EXPECT_FALSE(seen);
      EXPECT_FALSE(entry);
      EXPECT_FALSE(side().exists(at("f")));
      EXPECT_EQ(content_of("f"), "?");
      continue;
    }
    ASSERT_TRUE(written) << size;
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->size, size);
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->exists && !entry->is_link && !entry->is_dir);
    EXPECT_TRUE(side().exists(at("f")));
    EXPECT_EQ(content_of("f"), bytes) << size;
    EXPECT_FALSE(side().remove_file(at("f")));
  }
  // A missing file is Missing, not a failure of the side.
  ObservedFile seen;
  std::wstring text;
  Standing const standing = side().observe(at("none"), seen, text);
  EXPECT_EQ(standing, serves() ? Standing::Missing : Standing::Unavailable);
}

TEST_P(PlaceConformance, PublishingReplacesOnlyWhenAsked) {
  bool const staged = put("f.staged", "new");
  bool const old = put("f", "old");
  PlaceFailure const kept = side().publish(at("f.staged"), at("f"), false);
  if (!serves()) {
    EXPECT_FALSE(staged || old);
    EXPECT_NE(kept.reason, 0);
    EXPECT_NE(side().publish(at("f.staged"), at("f"), true).reason, 0);
    return;
  }
  EXPECT_NE(kept.reason, 0);
  EXPECT_EQ(content_of("f"), "old");
  EXPECT_EQ(content_of("f.staged"), "new");
  EXPECT_FALSE(side().publish(at("f.staged"), at("f"), true));
  EXPECT_EQ(content_of("f"), "new");
  EXPECT_FALSE(side().exists(at("f.staged")));
  EXPECT_FALSE(side().publish(at("f"), at("g"), false)) << "a free name is taken";
  EXPECT_EQ(content_of("g"), "new");
}

TEST_P(PlaceConformance, RenamingNeverReplacesATakenName) {
  put("a", "a");
  put("b", "b");
  PlaceFailure failure;
  Renamed const onto_taken = side().rename(at("a"), at("b"), failure);
  if (!serves()) {
    EXPECT_EQ(onto_taken, Renamed::Failed);
    EXPECT_NE(failure.reason, 0);
    return;
  }
  EXPECT_EQ(onto_taken, Renamed::Taken);
  EXPECT_EQ(content_of("a"), "a");
  EXPECT_EQ(content_of("b"), "b");
  EXPECT_EQ(side().rename(at("a"), at("c"), failure), Renamed::Done);
  EXPECT_FALSE(failure);
  EXPECT_FALSE(side().exists(at("a")));
  EXPECT_EQ(content_of("c"), "a");
  EXPECT_EQ(side().rename(at("a"), at("d"), failure), Renamed::Failed);
  EXPECT_EQ(failure.reason, fsu::file_not_exist);
}

TEST_P(PlaceConformance, RemovingAFileThatIsGoneSaysSo) {
  put("f", "x");
  PlaceFailure const removed = side().remove_file(at("f"));
  PlaceFailure const again = side().remove_file(at("f"));
  if (!serves()) {
    EXPECT_NE(removed.reason, 0);
    EXPECT_NE(again.reason, 0);
    return;
  }
  EXPECT_FALSE(removed);
  EXPECT_EQ(again.reason, fsu::file_not_exist);
  EXPECT_EQ(again.path, at("f"));
}

TEST_P(PlaceConformance, LinksAreMadeAndReadWithoutFollowingThem) {
  bool const keeps = side().keeps_links(at("l"));
  PlaceFailure const made = side().make_link(L"elsewhere/x", at("l"), false);
  if (!serves() || !keeps) {
    EXPECT_NE(made.reason, 0);
    EXPECT_FALSE(side().read_link(at("l")));
    return;
  }
  EXPECT_FALSE(made);
  EXPECT_EQ(side().read_link(at("l")), L"elsewhere/x");
  std::optional<EntryInfo> const entry = side().entry(at("l"));
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->exists && entry->is_link);
  EXPECT_FALSE(entry->resolves);
  EXPECT_EQ(entry->target, L"elsewhere/x");
  EXPECT_NE(side().make_link(L"other", at("l"), false).reason, 0) << "never over a link";
  EXPECT_FALSE(side().read_link(at("missing")));
}

TEST_P(PlaceConformance, TimesAndRightsAreSetWhereTheSideSetsThem) {
  put("f", "x");
  auto const when = engine_test::at(-86400.5);
  PlaceFailure const timed = side().set_time(at("f"), when);
  PlaceFailure const righted = side().set_rights(at("f"), fs::perms(0640));
  if (!under_test_->sets_times()) {
    EXPECT_NE(timed.reason, 0);
    EXPECT_NE(righted.reason, 0);
    return;
  }
  EXPECT_FALSE(timed);
  EXPECT_FALSE(righted);
  std::optional<ObservedFile> const seen = side().observe(at("f"));
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->mtime, when);
  struct stat st {};
  ASSERT_EQ(::stat(Utilities::to_path(at("f")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(side().set_time(at("none"), when).reason, fsu::file_not_exist);
}

TEST_P(PlaceConformance, RoomAndReadOnlyAreAnsweredOrUnknown) {
  auto const [room, known] = side().room(at("f"), false);
  EXPECT_FALSE(side().read_only(at("f")));
  EXPECT_EQ(known, serves() && under_test_->tells_room());
  if (known) {
    EXPECT_GT(room, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sides, PlaceConformance,
    ::testing::Values(Row{"local", [] { return std::unique_ptr<SideUnderTest>(new LocalSide); }},
                      Row{"unreachable_remote",
                          [] { return std::unique_ptr<SideUnderTest>(new UnreachableRemoteSide); }},
                      Row{"sftp", [] { return std::unique_ptr<SideUnderTest>(new SftpSide); }},
                      Row{"webdav", [] { return std::unique_ptr<SideUnderTest>(new WebdavSide); }},
                      Row{"s3", [] { return std::unique_ptr<SideUnderTest>(new S3Side); }}),
    [](::testing::TestParamInfo<Row> const& info) { return std::string(info.param.name); });

}  // namespace
