// tree_bench [FILES] [--log=LEVEL] [--compare=size,time]: one pass of a tree item through the item
// run, as the service runs it, over FILES small files (default 100000) in folders of 100, in five
// steps: the initial copy, no change, no change again ("steady": a pass that may reuse what the
// first one learnt), 1% of the files changed, one folder renamed. The same steps
// are timed for `rsync -a --delete` (a one-way mirror, like the engine's one-way item) and `unison
// -batch` (two-way, like the engine's two-way item), each on its own copies of the same trees in
// the same run. Every result is compared with its source afterwards (untimed). The engine runs the
// item as the service would by default: log level Info and content comparison; the options
// change that to see where its time goes. Each no-change pass prints the bytes the engine read
// (from /proc/self/io); where strace is installed, the system calls per file of the first three
// steps are counted afterwards on a tree of at most 2000 files, for the engine and rsync.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/config/Config.h"
#include "core/config/SyncItem.h"
#include "core/control/Synchronize.h"
#include "core/run/SyncReport.h"
#include "core/sync/ItemRun.h"
#include "core/sync/decide/SettledPairs.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int FILES_PER_FOLDER = 100;
// Pairs whose files last changed this long before a reading are compared from memory later: the
// first no-change pass waits (untimed) until the copy is that old, as a settled tree's files are.
constexpr auto SETTLE_TIME = KVO_Core::SettledPairs::SETTLE_TIME + std::chrono::seconds(1);
constexpr int TRACED_FILES = 2000;

std::string folder_name(int folder) {
  char name[16];
  std::snprintf(name, sizeof name, "d%04d", folder);
  return name;
}

void write_text(fs::path const& file, std::string const& content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
}

// Small files of 100 to about 4000 bytes whose content depends on their number.
std::string content_of(int file) {
  std::string const line = "file " + std::to_string(file) + " of the tree bench\n";
  std::string content;
  std::size_t const size = 100 + static_cast<std::size_t>(file * 7919 % 3900);
  while (content.size() < size) content += line;
  content.resize(size);
  return content;
}

void make_tree(fs::path const& root, int files) {
  for (int i = 0; i < files; ++i) {
    fs::path const folder = root / folder_name(i / FILES_PER_FOLDER);
    if (i % FILES_PER_FOLDER == 0) fs::create_directories(folder);
    write_text(folder / ("f" + std::to_string(i) + ".txt"), content_of(i));
  }
}

// Every 100th file gets new content of another size.
void change_one_percent(fs::path const& root, int files) {
  for (int i = 37; i < files; i += 100)
    write_text(root / folder_name(i / FILES_PER_FOLDER) / ("f" + std::to_string(i) + ".txt"),
               content_of(i) + "changed\n");
}

void rename_folder(fs::path const& root, int files) {
  std::string const name = folder_name(files / FILES_PER_FOLDER / 2);
  fs::rename(root / name, root / (name + "-renamed"));
}

// Until the data is on disk: the engine syncs what it writes as it goes, the peers do not.
double seconds_of(std::function<void()> const& job) {
  ::sync();
  auto const start = Clock::now();
  job();
  ::sync();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string quoted(fs::path const& path) { return "'" + path.string() + "'"; }

void shell(std::string const& command, char const* who) {
  int const status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "tree_bench: %s exited with %d\n", who, status);
}

// The lines of `diff -rq` between the two trees: empty when they are the same.
std::vector<std::string> differences(fs::path const& a, fs::path const& b) {
  std::vector<std::string> lines;
  FILE* p = ::popen(("diff -rq --no-dereference " + quoted(a) + " " + quoted(b)).c_str(), "r");
  if (p == nullptr) return {"diff could not run"};
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, p) != nullptr) lines.emplace_back(buffer);
  ::pclose(p);
  return lines;
}

// True when `to` holds what `from` holds. A one-way item never visits folders that exist on the
// target only, so with `extra_folders_kept` such folders are noted, not counted as a fault.
bool same_tree(fs::path const& from, fs::path const& to, char const* who,
               bool extra_folders_kept = false) {
  bool same = true;
  std::string const prefix = "Only in " + to.string();
  for (std::string const& line : differences(from, to)) {
    std::size_t const colon = line.find(": ");
    bool kept = false;
    if (extra_folders_kept && line.starts_with(prefix) && colon != std::string::npos) {
      fs::path const folder = line.substr(8, colon - 8);
      kept = fs::is_directory(folder / line.substr(colon + 2, line.size() - colon - 3));
    }
    std::fprintf(stderr, "tree_bench: %s: %s%s", who, kept ? "(kept by design) " : "",
                 line.c_str());
    same = same && kept;
  }
  return same;
}

struct EngineItem {
  KVO_Core::SyncItem item;
  fs::path state_file;
};

EngineItem engine_item(char const* name, fs::path const& from, fs::path const& to, bool two_way,
                       KVO_Core::CompareItems const& compare, fs::path const& state_file) {
  KVO_Core::SyncFlags flags;
  flags.twoWaySync = two_way;
  flags.syncDeletions = true;
  return {KVO_Core::SyncItem(Utilities::util::string_to_wstring(name), KVO_Core::SyncItemType::Tree,
                             Utilities::from_path(from), Utilities::from_path(to), L"",
                             KVO_Core::Exclusions{}, flags, compare),
          state_file};
}

void engine_pass(EngineItem const& job) {
  std::atomic<bool> stop{false};
  KVO_Core::Synchronize::StopOverride running(stop);
  KVO_Core::SyncReport report;
  KVO_Core::ItemRunOptions options;
  options.type = KVO_Core::SyncType::Once;
  options.state_file = job.state_file;
  std::uint64_t count = 0;
  KVO_Core::SyncReportGuard guard(&report);
  KVO_Core::ItemRunResult const result = KVO_Core::run_item(job.item, count, options);
  if (!result.ran) std::fprintf(stderr, "tree_bench: the engine refused the item\n");
  for (auto const& line : report.errors)
    std::fprintf(stderr, "tree_bench: engine: %s\n",
                 Utilities::util::wstring_to_string(line).c_str());
}

// Bytes this process has passed through read calls so far.
std::uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

bool strace_installed() { return std::system("command -v strace >/dev/null 2>&1") == 0; }

// The "calls" column of the total line of `strace -c`.
std::optional<long> total_calls(fs::path const& summary) {
  std::ifstream in(summary);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() >= 4 && words.back() == "total") return std::stol(words[words.size() - 3]);
  }
  return std::nullopt;
}

bool traced() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.starts_with("TracerPid:")) return std::stol(line.substr(10)) != 0;
  return false;
}

// The system calls this process makes while the job runs, as strace attached to it counts them.
std::optional<long> engine_calls_of(std::function<void()> const& job, fs::path const& summary) {
  std::string const pid = std::to_string(::getpid());
  pid_t const child = ::fork();
  if (child == 0) {
    ::execlp("strace", "strace", "-c", "-f", "-q", "-o", summary.c_str(), "-p", pid.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (child < 0) return std::nullopt;
  for (int i = 0; i < 500 && !traced(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  job();
  ::kill(child, SIGINT);
  int status = 0;
  ::waitpid(child, &status, 0);
  return total_calls(summary);
}

std::optional<long> peer_calls_of(std::string const& command, fs::path const& summary) {
  shell("strace -c -f -q -o " + quoted(summary) + " " + command, "strace");
  return total_calls(summary);
}

struct Step {
  char const* label;
  std::function<void(fs::path const&)> change;  // applied to every tree a tool reads from
};

}  // namespace

int main(int argc, char** argv) {
  int files = 100000;
  Utilities::LogLevel level = Utilities::LogLevel::Info;
  KVO_Core::CompareItems compare;
  for (int i = 1; i < argc; ++i) {
    std::string const arg = argv[i];
    if (arg.starts_with("--log=")) {
      level =
          Utilities::Logging::get_from_string(Utilities::util::string_to_wstring(arg.substr(6)));
    } else if (arg.starts_with("--compare=")) {
      compare.items.clear();
      std::string const keys = arg.substr(10) + ",";
      for (std::size_t start = 0, comma; (comma = keys.find(',', start)) != std::string::npos;
           start = comma + 1)
        compare.set(Utilities::util::string_to_wstring(keys.substr(start, comma - start)), true);
    } else {
      files = std::max(1, std::atoi(arg.c_str()));
    }
  }
  fs::path const work = fs::temp_directory_path() / ("tree_bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "home");
  Utilities::translation::init(Utilities::translation::locale_dir());
  Utilities::Logging::instance().set_log_level(level);
  Utilities::Logging::instance().set_log_file_path_name(Utilities::from_path(work / "engine.log"));
  Utilities::Logging::instance().open_file();
  // rsync --delete and unison delete for good; so does the engine here.
  KVO_Core::Config::instance()->settings.update(
      [](auto& s) { s.DeleteMode = KVO_Core::DeleteMode::Permanent; });

  fs::path const source = work / "source";  // read by the engine's one-way item and by rsync
  fs::path const mirror = work / "mirror";
  fs::path const rsync_mirror = work / "rsync-mirror";
  fs::path const two_a = work / "two-a";  // the engine's two-way item
  fs::path const two_b = work / "two-b";
  fs::path const unison_a = work / "unison-a";
  fs::path const unison_b = work / "unison-b";
  make_tree(source, files);
  std::uint64_t tree_bytes = 0;
  for (auto const& entry : fs::recursive_directory_iterator(source))
    if (entry.is_regular_file()) tree_bytes += entry.file_size();
  shell("cp -a " + quoted(source) + " " + quoted(two_a), "cp");
  shell("cp -a " + quoted(source) + " " + quoted(unison_a), "cp");
  for (auto const& empty : {mirror, rsync_mirror, two_b, unison_b}) fs::create_directories(empty);

  EngineItem const one_way =
      engine_item("one-way", source, mirror, false, compare, work / "one-way.state");
  EngineItem const two_way =
      engine_item("two-way", two_a, two_b, true, compare, work / "two-way.state");
  // unison keeps its archives under $UNISON; HOME is set too so nothing lands in the user's.
  std::string const unison =
      "HOME=" + quoted(work / "home") + " UNISON=" + quoted(work / "home/unison") + " unison " +
      quoted(unison_a) + " " + quoted(unison_b) + " -batch -times -silent -confirmbigdel=false >>" +
      quoted(work / "unison.log") + " 2>&1";
  std::string const rsync =
      "rsync -a --delete " + quoted(source) + "/ " + quoted(rsync_mirror) + "/";

  std::printf("%d files in %d folders, in %s; engine log level %s, compared by%s%s%s\n", files,
              (files + FILES_PER_FOLDER - 1) / FILES_PER_FOLDER, work.c_str(),
              Utilities::Logging::log_level_str(level), compare.size() ? " size" : "",
              compare.time() ? " time" : "", compare.content() ? " content" : "");
  std::vector<Step> const steps = {
      {"initial copy", [](fs::path const&) {}},
      {"no change", [](fs::path const&) {}},
      {"steady", [](fs::path const&) {}},
      {"1% changed", [files](fs::path const& root) { change_one_percent(root, files); }},
      {"folder renamed", [files](fs::path const& root) { rename_folder(root, files); }},
  };
  std::printf("%-15s %10s %10s %7s   %10s %10s %7s\n", "", "engine 1w", "rsync", "ratio",
              "engine 2w", "unison", "ratio");
  bool all_same = true;
  bool const settle = compare.content();
  for (Step const& step : steps) {
    for (auto const& root : {source, two_a, unison_a}) step.change(root);
    bool const unchanged =
        step.label == std::string("no change") || step.label == std::string("steady");
    if (step.label == std::string("no change") && settle) std::this_thread::sleep_for(SETTLE_TIME);
    std::uint64_t const read_before = bytes_read();
    double const ours = seconds_of([&] { engine_pass(one_way); });
    std::uint64_t const read_one_way = bytes_read() - read_before;
    double const theirs = seconds_of([&] { shell(rsync, "rsync"); });
    std::uint64_t const read_middle = bytes_read();
    double const ours_two = seconds_of([&] { engine_pass(two_way); });
    std::uint64_t const read_two_way = bytes_read() - read_middle;
    double const unison_time = seconds_of([&] { shell(unison, "unison"); });
    std::printf("%-15s %9.3fs %9.3fs %7.2f   %9.3fs %9.3fs %7.2f\n", step.label, ours, theirs,
                ours / theirs, ours_two, unison_time, ours_two / unison_time);
    if (unchanged)
      std::printf(
          "%-15s engine read %.1f%% of the tree one-way, %.1f%% two-way (%llu, %llu bytes)\n", "",
          100.0 * static_cast<double>(read_one_way) / static_cast<double>(tree_bytes),
          100.0 * static_cast<double>(read_two_way) / static_cast<double>(tree_bytes),
          static_cast<unsigned long long>(read_one_way),
          static_cast<unsigned long long>(read_two_way));
    std::fflush(stdout);
    bool const one_way_same = same_tree(source, mirror, "the engine's one-way item", true);
    bool const rsync_same = same_tree(source, rsync_mirror, "rsync");
    bool const two_way_same = same_tree(two_a, two_b, "the engine's two-way item");
    bool const unison_same = same_tree(unison_a, unison_b, "unison");
    all_same = all_same && one_way_same && rsync_same && two_way_same && unison_same;
  }
  if (strace_installed()) {
    // Counted on trees of their own: strace slows every call, so no timed pass is traced.
    int const traced_files = std::min(files, TRACED_FILES);
    fs::path const traced_source = work / "traced-source";
    fs::path const traced_mirror = work / "traced-mirror";
    fs::path const traced_rsync = work / "traced-rsync";
    make_tree(traced_source, traced_files);
    fs::create_directories(traced_mirror);
    fs::create_directories(traced_rsync);
    EngineItem const traced_item =
        engine_item("traced", traced_source, traced_mirror, false, compare, work / "traced.state");
    std::string const traced_peer =
        "rsync -a --delete " + quoted(traced_source) + "/ " + quoted(traced_rsync) + "/";
    std::printf("system calls per file (%d files, one-way)   engine      rsync\n", traced_files);
    for (char const* label : {"initial copy", "no change", "steady"}) {
      if (label == std::string("no change") && settle) std::this_thread::sleep_for(SETTLE_TIME);
      auto const ours = engine_calls_of([&] { engine_pass(traced_item); }, work / "strace-engine");
      auto const theirs = peer_calls_of(traced_peer, work / "strace-rsync");
      std::printf("%-42s %7.1f %10.1f\n", label,
                  ours ? static_cast<double>(*ours) / traced_files : -1.0,
                  theirs ? static_cast<double>(*theirs) / traced_files : -1.0);
      std::fflush(stdout);
    }
    all_same = same_tree(traced_source, traced_mirror, "the engine's traced item") && all_same;
  }
  Utilities::Logging::instance().close_file();
  if (!all_same) {
    std::fprintf(stderr, "tree_bench: trees differ; %s is kept for a look\n", work.c_str());
    return 1;
  }
  fs::remove_all(work);
  return 0;
}
