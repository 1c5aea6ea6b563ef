#include "support/temp_dir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test_support {

TempDir::TempDir() {
  std::string base = std::filesystem::temp_directory_path() / "pelli-test-XXXXXX";
  if (!mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
  path_ = base;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders or immutable files behind; make them removable first.
  run("chattr -R -i '" + path_.string() + "' >/dev/null 2>&1; chmod -R u+rwx '" + path_.string() +
      "' >/dev/null 2>&1");
  std::filesystem::remove_all(path_, ec);
}

void write_file(std::filesystem::path const& file, std::string const& content) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_file(std::filesystem::path const& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int run(std::string const& command) {
  int status = std::system(command.c_str());
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string run_output(std::string const& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

std::string shell_quoted(std::string const& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ScopedEnv::ScopedEnv(char const* name, char const* value) : name_(name) {
  char const* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace test_support
