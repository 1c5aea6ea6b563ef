// service_bench [--only latency,idle,pass] [--idle-seconds N] [--files N] [--samples N]
//               [--log-level Info]
// Runs the real service binary (tessvald, found beside this program) with HOME in a temporary
// folder and measures what a user notices: how long a change takes to reach the target, how much
// CPU an idle service burns, and one pass over a large tree beside rsync and unison on the same
// trees in the same run. The service is measured only by what it shows from outside: the target's
// files, its status files (a pass is timed from the service's start to the status file its item's
// run writes), its log and its threads in /proc.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "service_process.h"

namespace {

using namespace service_process;

struct Options {
  std::string only = "latency,idle,pass";
  int idle_seconds = 60;
  int files = 10000;
  int samples = 10;
  std::string log_level = "Info";
  bool wants(char const* part) const { return only.find(part) != std::string::npos; }
};

// ---- trees ------------------------------------------------------------------------------------

std::vector<fs::path> files_below(fs::path const& root) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) out.push_back(it->path().lexically_relative(root));
  std::sort(out.begin(), out.end());
  return out;
}

// Every source file is in the target with the same size (and contents when asked), and the
// target holds no other file.
bool same_tree(fs::path const& source, fs::path const& target, bool contents) {
  std::vector<fs::path> const a = files_below(source);
  std::vector<fs::path> const b = files_below(target);
  if (a != b) return false;
  for (fs::path const& rel : a) {
    std::error_code e1, e2;
    if (fs::file_size(source / rel, e1) != fs::file_size(target / rel, e2) || e1 || e2)
      return false;
    if (contents && read_text(source / rel) != read_text(target / rel)) return false;
  }
  return true;
}

// Only the sizes of the source's files, cheap enough to poll while a copy runs.
bool sizes_arrived(fs::path const& source, std::vector<fs::path> const& files,
                   fs::path const& target) {
  for (fs::path const& rel : files) {
    std::error_code e1, e2;
    auto const want = fs::file_size(source / rel, e1);
    auto const have = fs::file_size(target / rel, e2);
    if (e2 || e1 || want != have) return false;
  }
  return true;
}

// ---- the service ------------------------------------------------------------------------------

// ---- CPU of a process and its threads ---------------------------------------------------------

// Fields after the command's closing parenthesis of a /proc stat line.
std::vector<std::string> stat_fields(fs::path const& file, std::string* comm = nullptr) {
  std::string const text = read_text(file);
  auto const open = text.find('(');
  auto const close = text.rfind(')');
  if (close == std::string::npos) return {};
  if (comm && open != std::string::npos) *comm = text.substr(open + 1, close - open - 1);
  std::istringstream in(text.substr(close + 2));
  std::vector<std::string> out;
  for (std::string f; in >> f;) out.push_back(f);
  return out;
}

// utime + stime of the whole process, in clock ticks.
std::uint64_t process_ticks(pid_t pid) {
  auto const f = stat_fields("/proc/" + std::to_string(pid) + "/stat");
  if (f.size() < 13) return 0;
  return std::stoull(f[11]) + std::stoull(f[12]);  // fields 14 and 15 of the line
}

struct ThreadUse {
  std::string comm;
  std::uint64_t runtime_ns = 0;
  std::uint64_t switches = 0;
};

std::map<int, ThreadUse> thread_use(pid_t pid) {
  std::map<int, ThreadUse> out;
  std::error_code ec;
  for (auto const& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    int const tid = std::atoi(entry.path().filename().c_str());
    ThreadUse use;
    stat_fields(entry.path() / "stat", &use.comm);
    std::istringstream sched(read_text(entry.path() / "schedstat"));
    sched >> use.runtime_ns;
    std::istringstream status(read_text(entry.path() / "status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
        use.switches += std::stoull(line.substr(line.find(':') + 1));
    }
    out[tid] = use;
  }
  return out;
}

// ---- peers ------------------------------------------------------------------------------------

// Runs a command with extra environment, its output to `log`; the exit code.
int run(std::vector<std::string> const& argv, std::vector<std::string> const& env,
        fs::path const& log) {
  pid_t const pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    for (std::string const& e : env) ::putenv(const_cast<char*>(e.c_str()));
    if (std::freopen(log.c_str(), "a", stdout) == nullptr) ::_exit(126);
    ::dup2(::fileno(stdout), 2);
    std::vector<char*> args;
    for (std::string const& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Peers {
 public:
  Peers(fs::path const& work, fs::path source)
      : source_(std::move(source)),
        rsync_target_(work / "rsync-target"),
        unison_target_(work / "unison-target"),
        unison_dir_(work / "unison-archive"),
        home_(work / "peer-home"),
        log_(work / "peers.log") {
    fs::create_directories(unison_dir_);
    fs::create_directories(home_);
    fs::create_directories(unison_target_);
  }

  double rsync() {
    return timed("rsync",
                 {"rsync", "-a", "--delete", source_.string() + "/", rsync_target_.string() + "/"});
  }
  double unison() {
    return timed("unison", {"unison", source_.string(), unison_target_.string(), "-batch", "-times",
                            "-silent", "-ui", "text"});
  }
  bool in_step() const {
    return same_tree(source_, rsync_target_, true) && same_tree(source_, unison_target_, true);
  }

 private:
  double timed(char const* name, std::vector<std::string> const& argv) {
    std::vector<std::string> const env{"HOME=" + home_.string(), "UNISON=" + unison_dir_.string()};
    auto const start = Steady::now();
    int const rc = run(argv, env, log_);
    double const took = seconds(Steady::now() - start);
    if (rc != 0)
      throw std::runtime_error(std::string(name) + " failed with exit code " + std::to_string(rc) +
                               ", see " + log_.string());
    return took;
  }

  fs::path source_, rsync_target_, unison_target_, unison_dir_, home_, log_;
};

// ---- the measurements -------------------------------------------------------------------------

class Bench {
 public:
  Bench(fs::path program, fs::path work, Options options)
      : program_(std::move(program)), work_(std::move(work)), options_(std::move(options)) {}

  void latency() {
    std::printf("\n== latency from a change in the source to the synchronised target ==\n");
    latency_of("SyncCycle 1, not watched", 1, false, false, 2.0);
    latency_of("watched, rewritten in place", 3600, true, false, 3.5);
    latency_of("watched, replaced by rename", 3600, true, true, 3.5);
  }

  void idle() {
    std::printf("\n== CPU of an idle service over %d s (%% of one core) ==\n",
                options_.idle_seconds);
    idle_of("20 items, SyncCycle 60", 20, 60, false, false);
    idle_of("20 items, SyncCycle 1", 20, 1, false, false);
    idle_of("20 items, SyncCycle 1, size+time compare", 20, 1, false, true);
    idle_of("10 watched trees of 300 files, SyncCycle 3600", 10, 3600, true, false);
  }

  void pass();

 private:
  fs::path fresh(std::string const& name) {
    fs::path const dir = work_ / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
  }

  void latency_of(char const* label, int cycle, bool watch, bool by_rename, double expected_max);
  void idle_of(char const* label, int items, int cycle, bool watch, bool quick_check);

  fs::path program_;
  fs::path work_;
  Options options_;
};

// A change is either written into the file (truncate, write, close: several events) or written
// beside the tree and renamed over the file (one event), as many editors save.
void Bench::latency_of(char const* label, int cycle, bool watch, bool by_rename,
                       double expected_max) {
  fs::path const dir = fresh(std::string("latency-") + (watch ? "watched" : "cycle"));
  fs::path const source = dir / "source";
  fs::path const target = dir / "target";
  make_tree(source, 3, 100);
  // A watched side missing when watching starts is not watched until the next reload, so the
  // target folder is there beforehand, as a backup folder usually is.
  fs::create_directories(target);
  Service service(program_, dir / "home", options_.log_level);
  service.configure({Item{"latency", "Verzeichnisbaum", source, target, cycle, watch}});
  service.start();
  if (!poll([&] { return same_tree(source, target, true); }, 60s, 50ms))
    throw std::runtime_error(std::string(label) + ": the first pass did not finish");
  // A watched item also sees its own writes to the target and runs once more two seconds later.
  std::this_thread::sleep_for(watch ? 3s : 1500ms);
  fs::path const changed = source / "folder1" / "file7.txt";
  fs::path const arrived = target / "folder1" / "file7.txt";
  std::vector<double> samples;
  int late = 0;
  for (int i = 0; i < options_.samples; ++i) {
    std::string const text = "sample " + std::to_string(i) + " " + std::string(100 + i, 'x');
    if (by_rename) {
      write_text(dir / "staging", text);
      fs::rename(dir / "staging", changed);
    } else {
      write_text(changed, text);
    }
    auto const start = Steady::now();
    if (!poll([&] { return read_text(arrived) == text; }, 30s))
      throw std::runtime_error(std::string(label) + ": a change did not arrive in 30 s");
    double const took = seconds(Steady::now() - start);
    samples.push_back(took);
    if (took > expected_max) ++late;
    // Changes land at different points of the service's one-second pass rhythm.
    std::this_thread::sleep_for(std::chrono::milliseconds((watch ? 4500 : 300) + (i * 373) % 1000));
  }
  Summary const s = summary(samples);
  std::string each;
  for (double v : samples) {
    char one[16];
    std::snprintf(one, sizeof one, " %.2f", v);
    each += one;
  }
  std::printf(
      "%-30s %2zu samples  min %5.2f s  median %5.2f s  max %5.2f s  (%d above %.1f s)\n"
      "    each:%s\n",
      label, samples.size(), s.min, s.median, s.max, late, expected_max, each.c_str());
  if (!service.alive()) throw std::runtime_error(std::string(label) + ": the service ended");
}

// Unwatched items hold 20 files each, watched ones 300.
void Bench::idle_of(char const* label, int items, int cycle, bool watch, bool quick_check) {
  fs::path const dir = fresh("idle");
  std::vector<Item> list;
  for (int i = 0; i < items; ++i) {
    fs::path const source = dir / "sources" / ("s" + std::to_string(i));
    make_tree(source, watch ? 10 : 2, watch ? 30 : 10);
    fs::create_directories(dir / "targets" / ("t" + std::to_string(i)));  // see latency_of
    list.push_back(Item{"item" + std::to_string(i), "Verzeichnisbaum", source,
                        dir / "targets" / ("t" + std::to_string(i)), cycle, watch, quick_check});
  }
  Service service(program_, dir / "home", options_.log_level);
  service.configure(list);
  service.start();
  bool const ready = poll(
      [&] {
        for (Item const& item : list)
          if (!fs::exists(service.status_file(item.name)) ||
              !same_tree(item.source, item.target, false))
            return false;
        return true;
      },
      120s, 100ms);
  if (!ready) throw std::runtime_error(std::string(label) + ": the first passes did not finish");
  std::this_thread::sleep_for(4s);  // past a watched item's run for its own target writes
  std::size_t const lines_before = service.log_lines();
  auto const threads_before = thread_use(service.pid());
  std::uint64_t const ticks_before = process_ticks(service.pid());
  auto const start = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(options_.idle_seconds));
  std::uint64_t const ticks_after = process_ticks(service.pid());
  double const elapsed = seconds(Steady::now() - start);
  auto const threads_after = thread_use(service.pid());
  double const cpu =
      static_cast<double>(ticks_after - ticks_before) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::printf("%-48s CPU %6.3f s in %5.1f s = %6.2f %%  (log lines meanwhile: %zu)\n", label, cpu,
              elapsed, 100.0 * cpu / elapsed, service.log_lines() - lines_before);
  for (auto const& [tid, after] : threads_after) {
    auto const before = threads_before.find(tid);
    std::uint64_t const ns =
        after.runtime_ns - (before == threads_before.end() ? 0 : before->second.runtime_ns);
    std::uint64_t const switches =
        after.switches - (before == threads_before.end() ? 0 : before->second.switches);
    if (ns == 0 && switches == 0) continue;
    std::printf("    thread %-7d %-16s %8.2f ms on CPU, %6.1f wake-ups/s\n", tid,
                after.comm.c_str(), static_cast<double>(ns) / 1e6,
                static_cast<double>(switches) / elapsed);
  }
  if (!service.alive()) throw std::runtime_error(std::string(label) + ": the service ended");
}

void Bench::pass() {
  int const folders = std::max(1, options_.files / 100);
  int const per_folder = std::max(1, options_.files / folders);
  std::printf("\n== one pass over %d files in %d folders (one Verzeichnisbaum item) ==\n",
              folders * per_folder, folders);
  fs::path const dir = fresh("pass");
  fs::path const source = dir / "source";
  fs::path const target = dir / "service-target";
  make_tree(source, folders, per_folder);
  std::vector<fs::path> const files = files_below(source);
  ::sync();

  // A long cycle and no watching: the service runs the item once at start, and the bench starts
  // it anew for each pass.
  Item const item{"big", "Verzeichnisbaum", source, target, 3600, false};
  Service service(program_, dir / "home", options_.log_level);
  service.configure({item});
  fs::path const status = service.status_file(item.name);

  service.start();
  auto const copy_started = Steady::now();
  if (!poll([&] { return sizes_arrived(source, files, target); }, 1800s, 50ms))
    throw std::runtime_error("the initial copy did not finish in 30 minutes");
  double const copy_seen = seconds(Steady::now() - copy_started);
  if (!poll([&] { return fs::exists(status); }, 60s, 5ms))
    throw std::runtime_error("no status file after the initial copy");
  double const copy_pass = wall_seconds(service.started(), *mtime_of(status));
  if (!same_tree(source, target, true)) throw std::runtime_error("initial copy: target differs");
  service.stop();

  Peers peers(dir, source);
  double const copy_rsync = peers.rsync();
  double const copy_unison = peers.unison();
  if (!peers.in_step()) throw std::runtime_error("initial copy: a peer's target differs");
  std::printf(
      "%-34s service %7.3f s (start to status; %.3f s until seen)  rsync %7.3f s (x%.2f)"
      "  unison %7.3f s (x%.2f)\n",
      "initial copy", copy_pass, copy_seen, copy_rsync, copy_pass / copy_rsync, copy_unison,
      copy_pass / copy_unison);

  // One pass of a fresh service: from its start to the status file written at the end of the
  // item's run (removed first, so that the run writes it anew).
  auto service_pass = [&](bool quick_check) -> double {
    Item configured = item;
    configured.quick_check = quick_check;
    service.configure({configured});
    fs::remove(status);
    service.start();
    if (!poll([&] { return fs::exists(status); }, 1800s, 5ms))
      throw std::runtime_error("no status file after a pass");
    std::this_thread::sleep_for(50ms);  // the status file is in place, its time is final
    double const took = wall_seconds(service.started(), *mtime_of(status));
    service.stop();
    return took;
  };
  auto row = [](char const* label, std::vector<double> const& ours,
                std::vector<double> const& rsync, std::vector<double> const& unison) {
    Summary const a = summary(ours), b = summary(rsync), c = summary(unison);
    std::printf(
        "%-34s service %7.3f s (min %.3f, max %.3f)  rsync %7.3f s (x%.2f)  unison %7.3f s "
        "(x%.2f)   medians of %zu\n",
        label, a.median, a.min, a.max, b.median, a.median / b.median, c.median, a.median / c.median,
        ours.size());
  };

  // Each service pass (by contents, the default, and by size and time, as rsync's quick check)
  // is paired with one pass of each peer.
  std::vector<double> still[2], still_rsync[2], still_unison[2];
  for (int i = 0; i < 10; ++i) {
    still[i % 2].push_back(service_pass(i % 2 == 1));
    still_rsync[i % 2].push_back(peers.rsync());
    still_unison[i % 2].push_back(peers.unison());
  }
  row("no change, compare contents", still[0], still_rsync[0], still_unison[0]);
  row("no change, compare size+time", still[1], still_rsync[1], still_unison[1]);

  std::vector<double> changed[2], changed_rsync[2], changed_unison[2];
  std::size_t const step = 100;  // 1% of the files, a different set each round
  for (std::size_t round = 0; round < 6; ++round) {
    for (std::size_t i = round; i < files.size(); i += step)
      write_text(source / files[i],
                 "changed in round " + std::to_string(round) + "\n" + read_text(source / files[i]));
    changed[round % 2].push_back(service_pass(round % 2 == 1));
    if (!same_tree(source, target, true)) throw std::runtime_error("1% changed: target differs");
    changed_rsync[round % 2].push_back(peers.rsync());
    changed_unison[round % 2].push_back(peers.unison());
    if (!peers.in_step()) throw std::runtime_error("1% changed: a peer's target differs");
  }
  row("1% changed, compare contents", changed[0], changed_rsync[0], changed_unison[0]);
  row("1% changed, compare size+time", changed[1], changed_rsync[1], changed_unison[1]);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string const key = argv[i];
    if (key == "--only")
      options.only = argv[i + 1];
    else if (key == "--idle-seconds")
      options.idle_seconds = std::max(1, std::atoi(argv[i + 1]));
    else if (key == "--files")
      options.files = std::max(100, std::atoi(argv[i + 1]));
    else if (key == "--log-level")
      options.log_level = argv[i + 1];
    else if (key == "--samples")
      options.samples = std::max(1, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "service_bench: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  auto const setting = prepare("service_bench");
  if (!setting) return 1;
  fs::path const& program = setting->program;
  fs::path const& work = setting->work;
  std::printf("service %s, work folder %s\nload average at start: %s", program.c_str(),
              work.c_str(), read_text("/proc/loadavg").c_str());
  try {
    Bench bench(program, work, options);
    if (options.wants("latency")) bench.latency();
    if (options.wants("idle")) bench.idle();
    if (options.wants("pass")) bench.pass();
  } catch (std::exception const& e) {
    std::fprintf(stderr, "service_bench: %s (work folder kept: %s)\n", e.what(), work.c_str());
    return 1;
  }
  std::printf("\nload average at the end: %s", read_text("/proc/loadavg").c_str());
  fs::remove_all(work);
  return 0;
}
