// A folder of its own per test, removed with everything in it when the fixture ends.
#pragma once

#include <filesystem>
#include <string>

namespace test_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;

  std::filesystem::path const& path() const { return path_; }
  // The path of `relative` inside the folder.
  std::filesystem::path operator/(std::string const& relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
};

// Writes `content` to `file`, creating missing parent folders.
void write_file(std::filesystem::path const& file, std::string const& content);
// The whole content of `file`; empty when it cannot be read.
std::string read_file(std::filesystem::path const& file);
// Runs a shell command and gives its exit status (-1 when it could not run).
int run(std::string const& command);
// Runs a shell command and gives what it printed on standard output.
std::string run_output(std::string const& command);
// `text` as one word of a shell command, in single quotes.
std::string shell_quoted(std::string const& text);
// Sets an environment variable for the life of the object and restores the old value after.
class ScopedEnv {
 public:
  ScopedEnv(char const* name, char const* value);  // value nullptr: unset
  ~ScopedEnv();
  ScopedEnv(ScopedEnv const&) = delete;
  ScopedEnv& operator=(ScopedEnv const&) = delete;

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

}  // namespace test_support
