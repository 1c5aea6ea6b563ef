#include "support/fake_store.h"

#include <sstream>

#include "support/temp_dir.h"

namespace test_support {

namespace {

std::string store_script() {
  return std::string(PELLI_SOURCE_DIR) + "/tests/support/fake_store.sh";
}

}  // namespace

FakeStore::FakeStore(std::filesystem::path const& dir, std::string const& store) : dir_(dir) {
  std::istringstream words(run_output(store_script() + " start '" + dir.string() + "' " + store));
  std::string word;
  while (words >> word) {
    if (word.rfind("port=", 0) == 0) port_ = static_cast<std::uint16_t>(std::stoi(word.substr(5)));
    if (word.rfind("pid=", 0) == 0) pid_ = std::stoi(word.substr(4));
  }
  if (pid_ == 0) port_ = 0;
}

FakeStore::~FakeStore() {
  if (pid_) run(store_script() + " stop '" + dir_.string() + "' " + std::to_string(pid_));
}

std::string FakeStore::address(std::string const& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeStore::set_faults(std::string const& rules) const {
  write_file(dir_ / "faults.json", rules);
}

void FakeStore::set_config(std::string const& settings) const {
  write_file(dir_ / "config.json", settings);
}

std::vector<std::string> FakeStore::requests() const {
  std::vector<std::string> lines;
  std::istringstream log(read_file(dir_ / "requests.log"));
  for (std::string line; std::getline(log, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

void FakeStore::forget_requests() const { write_file(dir_ / "requests.log", ""); }

}  // namespace test_support
