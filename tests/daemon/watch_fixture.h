// Helpers for the tests of the real service that watch folders or keep backup proofs: items
// that watch, configuration variants, counting an item's runs in the Debug log and waiting until
// the service has gone quiet.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"

namespace watch_test {

using namespace service_test;

// An item that runs on changes; its cycle is far off, so a run soon after a change came from
// the watcher.
inline Item watched_item(std::string name, std::string type, fs::path source, fs::path target,
                         std::string flags = "") {
  Item i = item(std::move(name), std::move(source), std::move(target), false,
                R"(, "watchChanges": "true")" + flags);
  i.type = std::move(type);
  i.cycle = "3600";
  return i;
}

class Watching : public Service {
 protected:
  std::size_t count(std::string const& part) const { return log_count(part); }

  // The configuration text logging at `level` into the usual file.
  std::string logging_at(std::string text, std::string const& level) const {
    std::string const member = R"("Logging": {"LogLevel": ")" + level +
                               R"(", "LogFilePathName": ")" + json_text(log_file().string()) +
                               R"(", "RetentionDays": "30", "EditorPathName": ""},)"
                               "\n  ";
    std::size_t const at = text.find(R"("Syncitems")");
    if (at != std::string::npos) text.insert(at, member);
    return text;
  }

  // Runs of the one tree item (Debug log): the walk logs its root once per run.
  std::size_t tree_runs(fs::path const& source, fs::path const& target) const {
    return log_count("\tsync_tree: " + source.string() + " -> " + target.string() + "\n");
  }
  // Runs of the tree item that start_watched_tree made.
  std::size_t tree_runs() const { return tree_runs(files / "src", files / "dst/tree"); }
  // Files copied from `source` (Info log).
  std::size_t copies_of(fs::path const& source) const {
    return log_count("\tCopied " + source.string() + " ");
  }

  // One watched tree item from files/src to files/dst/tree, logging at Debug: true once the
  // service has run it and gone quiet after the run that its writes into the target bring.
  bool start_watched_tree(std::string const& name) {
    write_config(logging_at(
        config_json({watched_item(name, "Verzeichnisbaum", files / "src", files / "dst/tree")}),
        "Debug"));
    start_with({files / "dst/tree"});
    return eventually([&] { return tree_runs() > 0; }) && settles([&] { return tree_runs(); });
  }

  // Writes `text` to `source`, then waits until `target` holds it.
  bool arrives(fs::path const& source, fs::path const& target, std::string const& text) const {
    test_support::write_file(source, text);
    return eventually([&] { return test_support::read_file(target) == text; }, 60s);
  }

  // Waits until `value` has not changed for `quiet`; false when it still changed at `limit`.
  static bool settles(std::function<std::size_t()> const& value,
                      std::chrono::milliseconds quiet = 4s, std::chrono::milliseconds limit = 60s) {
    auto const end = std::chrono::steady_clock::now() + limit;
    std::size_t last = value();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(100ms);
      std::size_t const now_value = value();
      auto const now = std::chrono::steady_clock::now();
      if (now_value != last) {
        last = now_value;
        since = now;
      } else if (now - since >= quiet) {
        return true;
      }
    }
    return false;
  }

  // Starts the service once the target folders exist: a folder missing when watching begins
  // is watched only after the item's first run has made it.
  void start_with(std::vector<fs::path> const& targets) {
    for (fs::path const& dir : targets) fs::create_directories(dir);
    start();
  }
};

}  // namespace watch_test
