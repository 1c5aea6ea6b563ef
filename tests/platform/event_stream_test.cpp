// Event streams against real folders: which changes arrive, folders created and moved in,
// a directory stream's reach, a deleted and re-created root, shared watches, a kernel queue
// overflow and the watch limit.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventStream.h"
#include "platform/RunLoop.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using platform::Event;
using platform::EventStream;
using platform::RunLoop;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// Long enough for a loaded machine; no test expects to wait it out.
constexpr auto PATIENCE = std::chrono::seconds(10);

class Recorder {
 public:
  platform::EventCallback callback() {
    return [this](EventStream const&, std::vector<Event> const& events) {
      {
        std::lock_guard lock(mutex_);
        events_.insert(events_.end(), events.begin(), events.end());
      }
      changed_.notify_all();
    };
  }
  // Waits for an event that satisfies `match`; false when none came in time.
  bool wait(std::function<bool(Event const&)> const& match) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, PATIENCE,
                             [&] { return std::any_of(events_.begin(), events_.end(), match); });
  }
  bool wait_path(fs::path const& path) {
    return wait([&](Event const& e) { return e.path == path.string(); });
  }
  bool wait_flag(std::uint32_t flag) {
    return wait([&](Event const& e) { return (e.flags & flag) != 0; });
  }
  bool saw(fs::path const& path) {
    std::lock_guard lock(mutex_);
    return std::any_of(events_.begin(), events_.end(),
                       [&](Event const& e) { return e.path == path.string(); });
  }
  bool saw_below(fs::path const& dir) {
    std::lock_guard lock(mutex_);
    std::string const prefix = dir.string() + "/";
    return std::any_of(events_.begin(), events_.end(),
                       [&](Event const& e) { return e.path.rfind(prefix, 0) == 0; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// A run loop on a thread of its own for the fixture's life.
class LoopThread {
 public:
  explicit LoopThread(RunLoop& loop) : loop_(loop), thread_([this] { loop_.run(); }) {}
  ~LoopThread() {
    loop_.stop();
    thread_.join();
  }

 private:
  RunLoop& loop_;
  std::thread thread_;
};

class EventStreamTest : public ::testing::Test {
 protected:
  // A stream on `dir` scheduled and started on the fixture's loop, with no latency.
  std::unique_ptr<EventStream> watch(fs::path const& dir, bool recursive, Recorder& recorder) {
    auto stream =
        EventStream::create(dir, std::chrono::milliseconds(0), recursive, recorder.callback());
    EXPECT_TRUE(stream);
    stream->schedule(loop);
    EXPECT_TRUE(stream->start());
    return stream;
  }

  TempDir temp;
  fs::path const root = fs::canonical(temp.path());
  RunLoop loop;
  Recorder recorder;
};

TEST_F(EventStreamTest, ChangesArriveAndReadsDoNot) {
  write_file(root / "kept", "content");
  auto stream = watch(root, true, recorder);
  LoopThread thread(loop);

  struct Step {
    char const* what;
    std::function<void()> act;
    fs::path expected;
    std::uint32_t flag;
  };
  std::vector<Step> const steps{
      {"create", [&] { write_file(root / "new", "x"); }, root / "new", platform::kCreated},
      {"append", [&] { std::ofstream(root / "kept", std::ios::app) << "more"; }, root / "kept",
       platform::kModified},
      {"attributes",
       [&] { fs::permissions(root / "kept", fs::perms::owner_exec, fs::perm_options::add); },
       root / "kept", platform::kAttributes},
      {"rename", [&] { fs::rename(root / "new", root / "renamed"); }, root / "renamed",
       platform::kRenamed},
      {"delete", [&] { fs::remove(root / "renamed"); }, root / "renamed", platform::kRemoved},
  };
  for (auto const& step : steps) {
    recorder.clear();
    step.act();
    EXPECT_TRUE(recorder.wait([&](Event const& e) {
      return e.path == step.expected.string() && (e.flags & step.flag);
    })) << step.what;
  }

  // Reading, listing and opening without writing say nothing: the marker written afterwards
  // arrives alone.
  recorder.clear();
  EXPECT_EQ(read_file(root / "kept"), "contentmore");
  for ([[maybe_unused]] auto const& entry : fs::directory_iterator(root)) {
  }
  write_file(root / "marker", "m");
  ASSERT_TRUE(recorder.wait_path(root / "marker"));
  EXPECT_FALSE(recorder.saw(root / "kept"));
  EXPECT_FALSE(recorder.saw(root));
}

TEST_F(EventStreamTest, FoldersCreatedOrMovedInAreWatchedMovedOutAreNot) {
  TempDir outside_dir;
  fs::path const outside = fs::canonical(outside_dir.path());
  auto stream = watch(root, true, recorder);
  LoopThread thread(loop);

  // Made in one go: the inner folders exist before the watch on the outer one is added.
  fs::create_directories(root / "a" / "b" / "c");
  ASSERT_TRUE(recorder.wait_path(root / "a"));
  write_file(root / "a" / "b" / "c" / "deep", "x");
  EXPECT_TRUE(recorder.wait_path(root / "a" / "b" / "c" / "deep"));

  // A folder with subfolders moved in from outside the tree.
  write_file(outside / "tree" / "sub" / "subsub" / "old", "x");
  fs::rename(outside / "tree", root / "moved");
  ASSERT_TRUE(recorder.wait_path(root / "moved"));
  write_file(root / "moved" / "sub" / "subsub" / "new", "x");
  EXPECT_TRUE(recorder.wait_path(root / "moved" / "sub" / "subsub" / "new"));

  // Moved out: its later changes are not ours, under either name.
  recorder.clear();
  fs::rename(root / "moved", outside / "gone");
  // Everything queued before the move has been delivered once the move itself is.
  ASSERT_TRUE(recorder.wait([&](Event const& e) {
    return e.path == (root / "moved").string() && (e.flags & platform::kRenamed);
  }));
  recorder.clear();
  write_file(outside / "gone" / "sub" / "after", "x");
  write_file(root / "marker", "m");
  ASSERT_TRUE(recorder.wait_path(root / "marker"));
  EXPECT_FALSE(recorder.saw_below(root / "moved"));
  EXPECT_FALSE(recorder.saw_below(outside));
}

TEST_F(EventStreamTest, DirectoryStreamCountsDirectEntriesOnly) {
  fs::create_directories(root / "sub");
  auto stream = watch(root, false, recorder);
  LoopThread thread(loop);

  write_file(root / "sub" / "inner", "x");
  write_file(root / "direct", "x");
  ASSERT_TRUE(recorder.wait_path(root / "direct"));
  EXPECT_FALSE(recorder.saw(root / "sub" / "inner"));

  // A new folder counts as a direct entry, but what is made in it does not.
  fs::create_directory(root / "fresh");
  ASSERT_TRUE(recorder.wait_path(root / "fresh"));
  write_file(root / "fresh" / "inside", "x");
  write_file(root / "marker", "m");
  ASSERT_TRUE(recorder.wait_path(root / "marker"));
  EXPECT_FALSE(recorder.saw(root / "fresh" / "inside"));
}

TEST_F(EventStreamTest, DeletedRootIsFoundAgainByPath) {
  fs::path const dir = root / "watched";
  fs::create_directories(dir / "sub");
  auto stream = watch(dir, true, recorder);
  LoopThread thread(loop);

  fs::remove_all(dir);
  ASSERT_TRUE(recorder.wait([&](Event const& e) {
    return e.path == dir.string() && (e.flags & platform::kRootChanged);
  }));
  recorder.clear();
  fs::create_directories(dir / "sub");
  ASSERT_TRUE(recorder.wait([&](Event const& e) {
    return e.path == dir.string() && (e.flags & platform::kRootChanged) &&
           (e.flags & platform::kCreated);
  }));
  write_file(dir / "sub" / "again", "x");
  EXPECT_TRUE(recorder.wait_path(dir / "sub" / "again"));

  // Moved away counts as gone too; the folder that takes its name is watched instead.
  recorder.clear();
  fs::rename(dir, root / "elsewhere");
  ASSERT_TRUE(recorder.wait_flag(platform::kRootChanged));
  fs::create_directory(dir);
  ASSERT_TRUE(recorder.wait_flag(platform::kCreated));
  recorder.clear();
  write_file(root / "elsewhere" / "old-tree", "x");
  write_file(dir / "new-tree", "x");
  ASSERT_TRUE(recorder.wait_path(dir / "new-tree"));
  EXPECT_FALSE(recorder.saw_below(root / "elsewhere"));
}

TEST_F(EventStreamTest, StreamsShareWatchesAndLetGoOneByOne) {
  fs::create_directories(root / "inner");
  Recorder second;
  Recorder third;
  auto tree = watch(root, true, recorder);
  auto same = watch(root, true, second);
  auto level = watch(root / "inner", false, third);
  LoopThread thread(loop);

  write_file(root / "inner" / "f", "x");
  EXPECT_TRUE(recorder.wait_path(root / "inner" / "f"));
  EXPECT_TRUE(second.wait_path(root / "inner" / "f"));
  EXPECT_TRUE(third.wait_path(root / "inner" / "f"));

  // Stopping one stream must not take the shared watches from the others.
  same->stop();
  tree->invalidate();
  third.clear();
  write_file(root / "inner" / "g", "x");
  EXPECT_TRUE(third.wait_path(root / "inner" / "g"));

  // A stopped stream can start again.
  second.clear();
  ASSERT_TRUE(same->start());
  write_file(root / "h", "x");
  EXPECT_TRUE(second.wait_path(root / "h"));
}

TEST_F(EventStreamTest, StartRefusesWhatCannotBeWatched) {
  write_file(root / "file", "x");
  fs::create_symlink(root, root.parent_path() / (root.filename().string() + "-link"));
  struct Case {
    char const* what;
    fs::path dir;
  };
  std::vector<Case> const cases{
      {"missing", root / "missing"},
      {"file", root / "file"},
      {"link", root.parent_path() / (root.filename().string() + "-link")},
  };
  for (auto const& c : cases) {
    auto stream =
        EventStream::create(c.dir, std::chrono::milliseconds(0), true, recorder.callback());
    ASSERT_TRUE(stream) << c.what;
    EXPECT_FALSE(stream->start()) << c.what << ": not scheduled";
    stream->schedule(loop);
    EXPECT_FALSE(stream->start()) << c.what;
  }
  fs::remove(root.parent_path() / (root.filename().string() + "-link"));
  EXPECT_FALSE(
      EventStream::create("relative", std::chrono::milliseconds(0), true, recorder.callback()));
  EXPECT_FALSE(EventStream::create(root, std::chrono::milliseconds(0), true, nullptr));
}

TEST(RunLoopTest, StopBeforeRunEndsRunAtOnce) {
  RunLoop loop;
  loop.stop();
  std::thread thread([&] { loop.run(); });
  thread.join();  // would hang if the early stop were forgotten
  SUCCEED();
}

TEST_F(EventStreamTest, EventsOfABurstAreGatheredForTheLatency) {
  auto stream =
      EventStream::create(root, std::chrono::milliseconds(500), true, recorder.callback());
  int batches = 0;
  std::mutex m;
  auto counting = EventStream::create(root, std::chrono::milliseconds(60000), true,
                                      [&](EventStream const&, std::vector<Event> const&) {
                                        std::lock_guard lock(m);
                                        ++batches;
                                      });
  stream->schedule(loop);
  counting->schedule(loop);
  ASSERT_TRUE(stream->start());
  ASSERT_TRUE(counting->start());
  LoopThread thread(loop);
  write_file(root / "first", "x");
  ASSERT_TRUE(recorder.wait_path(root / "first"));
  for (int i = 0; i < 20; ++i) write_file(root / ("more" + std::to_string(i)), "x");
  ASSERT_TRUE(recorder.wait_path(root / "more19"));
  // The first event went out at once; the rest waits for a minute-long latency.
  std::lock_guard lock(m);
  EXPECT_EQ(batches, 1);
}

TEST_F(EventStreamTest, EventsOfOneSaveArriveInTheFirstDelivery) {
  std::mutex m;
  std::vector<std::vector<Event>> batches;
  auto stream = EventStream::create(root, std::chrono::milliseconds(60000), true,
                                    [&](EventStream const&, std::vector<Event> const& events) {
                                      std::lock_guard lock(m);
                                      batches.push_back(events);
                                    });
  stream->schedule(loop);
  ASSERT_TRUE(stream->start());
  LoopThread thread(loop);
  {
    // An editor's save: created, written in two pieces, closed.
    std::FILE* f = std::fopen((root / "saved").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::fputs("first half", f);
    std::fflush(f);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::fputs(", second half", f);
    std::fclose(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::lock_guard lock(m);
  ASSERT_EQ(batches.size(), 1u) << "the rest of the save would wait a whole latency";
  std::uint32_t flags = 0;
  for (Event const& e : batches[0]) flags |= e.flags;
  EXPECT_TRUE(flags & platform::kCreated);
  EXPECT_TRUE(flags & platform::kModified);
}

// Writes a value to a kernel setting for the object's life.
class KernelSetting {
 public:
  explicit KernelSetting(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_);
    in >> old_;
  }
  bool set(long value) {
    if (old_ <= 0 || ::access(path_.c_str(), W_OK) != 0) return false;
    std::ofstream out(path_);
    out << value;
    out.close();
    return static_cast<bool>(out);
  }
  ~KernelSetting() {
    if (old_ <= 0) return;
    std::ofstream out(path_);
    out << old_;
  }
  long old() const { return old_; }

 private:
  std::string path_;
  long old_ = 0;
};

TEST_F(EventStreamTest, QueueOverflowSaysEventsWereLostAndRescans) {
  std::optional<RunLoop> small_loop;
  {
    // The queue length is taken when the inotify descriptor is opened; restored at once.
    KernelSetting queue("/proc/sys/fs/inotify/max_queued_events");
    if (!queue.set(16)) GTEST_SKIP() << "the inotify queue length cannot be changed here";
    small_loop.emplace();
  }
  auto stream = EventStream::create(root, std::chrono::milliseconds(0), true, recorder.callback());
  stream->schedule(*small_loop);
  ASSERT_TRUE(stream->start());
  // Nobody reads yet: the flood overflows the queue, and a folder made meanwhile has no watch.
  for (int i = 0; i < 100; ++i) write_file(root / ("flood" + std::to_string(i)), "x");
  fs::create_directories(root / "late" / "inner");
  LoopThread thread(*small_loop);
  ASSERT_TRUE(recorder.wait([&](Event const& e) {
    return e.path == root.string() && (e.flags & platform::kEventsLost);
  }));
  write_file(root / "late" / "inner" / "f", "x");
  EXPECT_TRUE(recorder.wait_path(root / "late" / "inner" / "f"));
}

// The watches this user holds now, from every process's inotify descriptors.
long watches_in_use() {
  long count = 0;
  std::error_code ec;
  for (auto const& proc : fs::directory_iterator("/proc", ec)) {
    std::error_code inner;
    for (auto const& info : fs::directory_iterator(proc.path() / "fdinfo", inner)) {
      std::ifstream in(info.path());
      std::string line;
      while (std::getline(in, line))
        if (line.rfind("inotify wd:", 0) == 0) ++count;
    }
  }
  return count;
}

TEST_F(EventStreamTest, WatchLimitMakesTheStreamLoseItsWatches) {
  fs::create_directories(root / "one");
  KernelSetting limit("/proc/sys/fs/inotify/max_user_watches");
  // Room for the root and "one" and nothing more.
  if (!limit.set(watches_in_use() + 2)) GTEST_SKIP() << "the watch limit cannot be changed here";
  auto stream = EventStream::create(root, std::chrono::milliseconds(0), true, recorder.callback());
  stream->schedule(loop);
  if (!stream->start()) GTEST_SKIP() << "other watches appeared meanwhile";
  LoopThread thread(loop);
  fs::create_directories(root / "two" / "three");
  EXPECT_TRUE(recorder.wait_flag(platform::kWatchLost));
  recorder.clear();
  write_file(root / "one" / "after", "x");
  write_file(root / "after", "x");
  // Silent for good; a second stream on another folder still works within the limit.
  Recorder other;
  TempDir other_dir;
  auto second = EventStream::create(fs::canonical(other_dir.path()), std::chrono::milliseconds(0),
                                    false, other.callback());
  second->schedule(loop);
  ASSERT_TRUE(second->start());
  write_file(fs::canonical(other_dir.path()) / "marker", "m");
  ASSERT_TRUE(other.wait_path(fs::canonical(other_dir.path()) / "marker"));
  EXPECT_FALSE(recorder.saw(root / "after"));
  EXPECT_FALSE(recorder.saw(root / "one" / "after"));
}

}  // namespace
