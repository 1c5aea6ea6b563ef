// Backup-proof files on disk: the entries and their keys and values, the file name, idle runs
// that repeat a failure, and files that must be left as they are.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "core/config/SyncItem.h"
#include "core/control/BackupProof.h"
#include "core/run/SyncReport.h"
#include "support/temp_dir.h"
#include "utilities/singleton_log.h"

namespace {

namespace fs = std::filesystem;
using KVO_Core::copy_log_file_path;
using KVO_Core::SyncItem;
using KVO_Core::SyncItemType;
using KVO_Core::SyncReport;
using KVO_Core::write_copy_log;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;
using Tree = boost::property_tree::ptree;

// Without a catalogue every key and status is its message id.
Tree parse(fs::path const& file) {
  std::istringstream in(read_file(file));
  Tree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

std::vector<Tree> entries(fs::path const& file) {
  Tree const tree = parse(file);
  EXPECT_EQ(tree.size(), 1u);
  std::vector<Tree> out;
  for (auto const& e : tree.get_child("backup_proof_entries_key")) out.push_back(e.second);
  return out;
}

std::vector<std::string> keys(Tree const& entry) {
  std::vector<std::string> out;
  for (auto const& member : entry) out.push_back(member.first);
  return out;
}

std::vector<std::string> errors(Tree const& entry) {
  std::vector<std::string> out;
  if (auto list = entry.get_child_optional("backup_proof_field_errors"))
    for (auto const& line : *list) out.push_back(line.second.data());
  return out;
}

class BackupProofTest : public ::testing::Test {
 protected:
  TempDir temp;
  fs::path const folder = temp / "proofs" / "nested";
  SyncItem item{L"Fotos ü", SyncItemType::Tree, L"/src/ä", L"/dst", L""};
  fs::path const file = folder / "Fotos ü.json";
  test_support::SingletonLog log;

  int logged(char const* id) const {
    int n = 0;
    for (auto const& line : log.lines())
      if (line.rfind("Error\t", 0) == 0 && line.find(id) != std::string::npos) ++n;
    return n;
  }
};

TEST_F(BackupProofTest, EveryCopyingRunAppendsOneEntryWithTheKeysInOrder) {
  SyncReport copied;
  copied.copied_bytes = 1234;
  ASSERT_TRUE(write_copy_log(folder, item, 3, copied));
  SyncReport failed;
  failed.copied_bytes = 10;
  failed.error(L"copy failed: a");
  failed.error(L"copy failed: b");
  ASSERT_TRUE(write_copy_log(folder, item, 1, failed));
  SyncReport short_only;
  short_only.copied_bytes = 5;
  short_only.shortage_count = 1;
  ASSERT_TRUE(write_copy_log(folder, item, 1, short_only));

  auto const list = entries(file);
  ASSERT_EQ(list.size(), 3u);
  std::vector<std::string> const base{"backup_proof_field_timestamp", "backup_proof_field_name",
                                      "backup_proof_field_source",    "backup_proof_field_target",
                                      "backup_proof_field_files",     "backup_proof_field_volume",
                                      "backup_proof_field_status"};
  EXPECT_EQ(keys(list[0]), base);
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_name"), "Fotos ü");
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_source"), "/src/ä");
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_target"), "/dst");
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_files"), "3");
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_volume"), "1234");
  EXPECT_EQ(list[0].get<std::string>("backup_proof_field_status"),
            "backup_proof_status_successful");

  std::tm tm{};
  std::istringstream stamp(list[0].get<std::string>("backup_proof_field_timestamp"));
  stamp >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  EXPECT_FALSE(stamp.fail());
  tm.tm_isdst = -1;
  EXPECT_LT(std::abs(std::difftime(std::time(nullptr), std::mktime(&tm))), 120.0);

  auto with_errors = base;
  with_errors.push_back("backup_proof_field_errors");
  EXPECT_EQ(keys(list[1]), with_errors);
  EXPECT_EQ(list[1].get<std::string>("backup_proof_field_status"), "backup_proof_status_failed");
  EXPECT_EQ(errors(list[1]), (std::vector<std::string>{"copy failed: a", "copy failed: b"}));
  EXPECT_EQ(keys(list[2]), base);
  EXPECT_EQ(list[2].get<std::string>("backup_proof_field_status"), "backup_proof_status_failed");

  // Replaced whole each time: no temporary file stays behind.
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST_F(BackupProofTest, IdleRunsRepeatingAFailureAppendOnlyWhenSomethingChanged) {
  SyncReport refused;
  refused.error(L"target not reachable");
  for (int pass = 0; pass < 5; ++pass) ASSERT_TRUE(write_copy_log(folder, item, 0, refused));
  EXPECT_EQ(entries(file).size(), 1u);

  SyncReport other;
  other.error(L"target read-only");
  ASSERT_TRUE(write_copy_log(folder, item, 0, other));
  EXPECT_EQ(entries(file).size(), 2u);

  // A run that copied is always written, even with the same errors.
  other.copied_bytes = 1;
  ASSERT_TRUE(write_copy_log(folder, item, 0, other));
  EXPECT_EQ(entries(file).size(), 3u);

  // The same errors an hour after the last entry are written again.
  std::string text = read_file(file);
  std::time_t const old = std::time(nullptr) - 2 * 3600;
  std::tm tm{};
  localtime_r(&old, &tm);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
  std::string const key = "\"backup_proof_field_timestamp\": \"";
  std::size_t const at = text.rfind(key);
  ASSERT_NE(at, std::string::npos);
  text.replace(at + key.size(), 19, when);
  write_file(file, text);
  other.copied_bytes = 0;
  ASSERT_TRUE(write_copy_log(folder, item, 0, other));
  EXPECT_EQ(entries(file).size(), 4u);
}

TEST_F(BackupProofTest, FilesThatCannotBeReadStayByteForByte) {
  struct Case {
    char const* what;
    std::string content;
    char const* logged;
  };
  std::vector<Case> const cases{
      {"not JSON", "{\"backup_proof_entries_key\": [ {\"x\": ", "backup_proof_not_readable"},
      {"not UTF-8", "{\"k\": [ {\"name\": \"caf\xe9\"} ]}\n", "backup_proof_not_readable"},
      {"too deep", std::string(200, '[') + std::string(200, ']'), "backup_proof_not_readable"},
      {"last member a text", "{\"note\": \"by hand\"}\n", "backup_proof_not_writable"},
  };
  SyncReport copied;
  copied.copied_bytes = 1;
  for (auto const& c : cases) {
    write_file(file, c.content);
    int const before = logged(c.logged);
    EXPECT_FALSE(write_copy_log(folder, item, 1, copied)) << c.what;
    EXPECT_EQ(logged(c.logged), before + 1) << c.what;
    // Later runs leave it alone too (their repeated line is the log's to suppress).
    EXPECT_FALSE(write_copy_log(folder, item, 1, copied)) << c.what << ", second run";
    EXPECT_EQ(read_file(file), c.content) << c.what;
    EXPECT_FALSE(fs::exists(file.string() + ".tmp")) << c.what;
  }
}

TEST_F(BackupProofTest, EntriesGoIntoTheLastMemberOfAnExistingFile) {
  write_file(file, "{\"owner\": \"me\", \"list\": [ {\"old\": \"1\"} ]}\n");
  SyncReport copied;
  copied.copied_bytes = 1;
  ASSERT_TRUE(write_copy_log(folder, item, 1, copied));
  Tree const tree = parse(file);
  EXPECT_EQ(tree.get<std::string>("owner"), "me");
  auto const& list = tree.get_child("list");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list.front().second.get<std::string>("old"), "1");
  EXPECT_EQ(list.back().second.get<std::string>("backup_proof_field_files"), "1");
}

TEST_F(BackupProofTest, FileNamesAndAFolderInTheWay) {
  struct Case {
    std::wstring name;
    std::string file;
  };
  for (auto const& c : std::vector<Case>{{L"a/b:c", "a_b_c.json"},
                                         {L"", "Sicherungsnachweis.json"},
                                         {L"...", "Sicherungsnachweis.json"}}) {
    EXPECT_EQ(copy_log_file_path(folder, c.name), folder / c.file);
  }

  write_file(temp / "blocker", "a file where the folder should be");
  SyncReport copied;
  copied.copied_bytes = 1;
  EXPECT_FALSE(write_copy_log(temp / "blocker" / "proofs", item, 1, copied));
  EXPECT_EQ(logged("backup_proof_dir_not_creatable"), 1);
}

}  // namespace
