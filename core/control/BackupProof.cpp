#include "core/control/BackupProof.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <system_error>
#include <vector>

#include "core/config/DurableWrite.h"
#include "core/config/JsonDepth.h"
#include "utilities/FileNames.h"
#include "utilities/Json.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"
#include "utilities/Util.h"

namespace KVO_Core {
namespace {

namespace fs = std::filesystem;
using Tree = boost::property_tree::wptree;
using Utilities::LogLevel;
using Utilities::translation::translate;
using Utilities::util::string_to_wstring;
using Utilities::util::wstring_to_string;

constexpr char const* TIME_FORMAT = "%Y-%m-%d %H:%M:%S";
constexpr std::time_t REPEAT_AFTER_SECONDS = 3600;

void add_field(Tree& tree, std::wstring const& key, std::wstring const& value) {
  tree.push_back(Tree::value_type(key, Tree(value)));
}

std::wstring local_time_text(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buffer[32];
  std::size_t const n = std::strftime(buffer, sizeof buffer, TIME_FORMAT, &tm);
  return string_to_wstring(std::string(buffer, n));
}

// The existing file as a tree. Throws when it cannot be read, is no valid UTF-8 (rewriting it
// would replace those bytes) or no JSON.
Tree read_proof(fs::path const& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + file.string());
  std::string const bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw std::runtime_error("cannot read " + file.string());
  std::wstring const text = string_to_wstring(bytes);
  if (wstring_to_string(text) != bytes) throw std::runtime_error("not valid UTF-8");
  check_json_depth(text);
  std::wistringstream stream(text);
  Tree tree;
  boost::property_tree::read_json(stream, tree);
  return tree;
}

bool is_array(Tree const& node) {
  if (node.empty()) return false;
  for (auto const& child : node)
    if (!child.first.empty()) return false;
  return true;
}

// The error lines of an entry: the values of its array member, none without one.
std::vector<std::wstring> errors_of(Tree const& entry) {
  std::vector<std::wstring> lines;
  for (auto const& member : entry) {
    if (!is_array(member.second)) continue;
    for (auto const& line : member.second) lines.push_back(line.second.data());
  }
  return lines;
}

// The entry's time (its first member) is an hour old, in the future or unreadable.
bool stale(Tree const& entry, std::time_t now) {
  if (entry.empty()) return true;
  std::istringstream in(wstring_to_string(entry.begin()->second.data()));
  std::tm tm{};
  in >> std::get_time(&tm, TIME_FORMAT);
  if (in.fail()) return true;
  tm.tm_isdst = -1;
  std::time_t const then = std::mktime(&tm);
  return then == -1 || now < then || now - then >= REPEAT_AFTER_SECONDS;
}

// An idle run repeating the last entry's errors within the hour adds nothing new.
bool repeats_last_entry(Tree const& list, SyncReport const& report, std::time_t now) {
  if (list.empty()) return false;
  Tree const& last = list.back().second;
  return errors_of(last) == report.errors && !stale(last, now);
}

Tree make_entry(SyncItem const& item, unsigned long file_count, SyncReport const& report,
                std::time_t now) {
  bool const failed = !report.errors.empty() || report.shortage_count > 0;
  Tree entry;
  add_field(entry, translate("backup_proof_field_timestamp"), local_time_text(now));
  add_field(entry, translate("backup_proof_field_name"), item.name);
  add_field(entry, translate("backup_proof_field_source"),
            item.source() ? item.source()->path() : std::wstring());
  add_field(entry, translate("backup_proof_field_target"),
            item.target() ? item.target()->path() : std::wstring());
  add_field(entry, translate("backup_proof_field_files"), std::to_wstring(file_count));
  add_field(entry, translate("backup_proof_field_volume"), std::to_wstring(report.copied_bytes));
  add_field(entry, translate("backup_proof_field_status"),
            translate(failed ? "backup_proof_status_failed" : "backup_proof_status_successful"));
  if (!report.errors.empty()) {
    Tree errors;
    for (auto const& line : report.errors) add_field(errors, L"", line);
    entry.push_back(Tree::value_type(translate("backup_proof_field_errors"), errors));
  }
  return entry;
}

}  // namespace

fs::path copy_log_file_path(fs::path const& folder, std::wstring const& item_name) {
  std::wstring name = Utilities::file_name::sanitized(item_name);
  if (name.empty()) name = L"Sicherungsnachweis";
  return folder / Utilities::to_path(name + L".json");
}

bool write_copy_log(fs::path const& folder, SyncItem const& item, unsigned long file_count,
                    SyncReport const& report) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    Utilities::log_at(LogLevel::Error, translate("backup_proof_dir_not_creatable"),
                      Utilities::from_path(folder), string_to_wstring(ec.message()));
    return false;
  }
  fs::path const file = copy_log_file_path(folder, item.name);
  std::wstring const file_text = Utilities::from_path(file);

  Tree tree;
  fs::file_status const status = fs::symlink_status(file, ec);
  try {
    if (status.type() == fs::file_type::none) throw std::system_error(ec);
    if (status.type() != fs::file_type::not_found) tree = read_proof(file);
  } catch (std::exception const& error) {
    Utilities::log_at(LogLevel::Error, translate("backup_proof_not_readable"), file_text,
                      string_to_wstring(error.what()));
    return false;
  }
  if (tree.empty()) tree.push_back(Tree::value_type(translate("backup_proof_entries_key"), Tree()));

  std::time_t const now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  Tree& list = tree.back().second;
  if (file_count == 0 && report.copied_bytes == 0 && repeats_last_entry(list, report, now))
    return true;
  list.push_back(Tree::value_type(L"", make_entry(item, file_count, report, now)));

  try {
    replace_file_durably(file, wstring_to_string(Utilities::json::to_text(tree)));
  } catch (std::exception const& error) {
    Utilities::log_at(LogLevel::Error, translate("backup_proof_not_writable"), file_text,
                      string_to_wstring(error.what()));
    return false;
  }
  return true;
}

}  // namespace KVO_Core
