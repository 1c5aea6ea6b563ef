#include "core/config/Settings.h"

#include <gtest/gtest.h>

#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <atomic>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "settings_log_capture.h"
#include "utilities/Json.h"

namespace {

using boost::property_tree::wptree;
using config_b_test::LogCapture;
using KVO_Core::DeleteMode;
using KVO_Core::Settings;

wptree parse(std::wstring const& json) {
  std::wistringstream in(json);
  wptree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

// A "Settings" subtree with the four required flags and the given extra members.
wptree section_with(std::wstring const& extra) {
  return parse(
      L"{\"StartMinimzed\": \"false\", \"MinimizeInsteadOfClose\": \"false\", \"Autostart\": "
      L"\"false\", \"StartSyncAtStart\": \"false\"" +
      (extra.empty() ? L"" : L", " + extra) + L"}");
}

// Restores the recycle bin's folder, which lives in a process-wide object.
class BinFolder {
 public:
  BinFolder() : saved_(KVO_Core::recycle_bin_path()) {}
  ~BinFolder() { KVO_Core::set_recycle_bin_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(Settings, RequiredFlagsAloneGiveTheResetValues) {
  EXPECT_EQ(KVO_Core::get_settings(section_with(L"")), Settings{});
  Settings s;
  EXPECT_TRUE(s.ShowErrors);
  EXPECT_EQ(s.DeleteMode, DeleteMode::RecycleBin);
  s.TransferLimitKB = 5;
  s.Language = "de";
  s.reset();
  EXPECT_EQ(s, Settings{});
}

TEST(Settings, ValuesAsTheyAreRead) {
  struct Case {
    std::wstring members;
    std::function<bool(Settings const&)> holds;
  };
  std::vector<Case> const cases = {
      {L"\"ShowErrors\": \"false\"", [](auto& s) { return !s.ShowErrors; }},
      {L"\"ShowErrors\": \"True\"", [](auto& s) { return !s.ShowErrors; }},
      {L"\"ShowWarnings\": \"true\"", [](auto& s) { return s.ShowWarnings; }},
      {L"\"ShowWarnings\": \"TRUE\"", [](auto& s) { return !s.ShowWarnings; }},
      {L"\"ShowInfos\": \"1\"", [](auto& s) { return !s.ShowInfos; }},
      {L"\"ShowInfos\": \"true \"", [](auto& s) { return !s.ShowInfos; }},
      {L"\"DeleteMode\": \"Permanent\"",
       [](auto& s) { return s.DeleteMode == DeleteMode::Permanent; }},
      {L"\"DeleteMode\": \"permanent\"",
       [](auto& s) { return s.DeleteMode == DeleteMode::RecycleBin; }},
      {L"\"DeleteMode\": \"RecycleBin\"",
       [](auto& s) { return s.DeleteMode == DeleteMode::RecycleBin; }},
      {L"\"RecycleBinDays\": \"65535\"", [](auto& s) { return s.RecycleBinDays == 65535; }},
      {L"\"RecycleBinDays\": \" 42abc\"", [](auto& s) { return s.RecycleBinDays == 42; }},
      {L"\"TransferLimitKB\": \"4294967295\"",
       [](auto& s) { return s.TransferLimitKB == 4294967295u; }},
      {L"\"TransferLimitKB\": \"4294967297\"", [](auto& s) { return s.TransferLimitKB == 1u; }},
      {L"\"BackupProofPath\": \"/Users/m\u00e4/\u2713\"",
       [](auto& s) { return s.BackupProofPath == L"/Users/m\u00e4/\u2713"; }},
      {L"\"Language\": \"fr\", \"EncryptionRecipient\": \"age1\u00e9\"",
       [](auto& s) { return s.Language == "fr" && s.EncryptionRecipient == "age1\xc3\xa9"; }},
      {L"\"Unknown\": \"x\", \"Also\": {\"a\": \"b\"}", [](auto& s) { return s == Settings{}; }},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(Utilities::util::wstring_to_string(c.members));
    EXPECT_TRUE(c.holds(KVO_Core::get_settings(section_with(c.members))));
  }
  auto all_true = parse(
      L"{\"StartMinimzed\": \"true\", \"MinimizeInsteadOfClose\": \"true\", \"Autostart\": "
      L"\"true\", \"StartSyncAtStart\": \"true\"}");
  auto s = KVO_Core::get_settings(all_true);
  EXPECT_TRUE(s.StartMinimzed && s.MinimizeInsteadOfClose && s.Autostart && s.StartSyncAtStart);
}

TEST(Settings, BadSectionsThrow) {
  std::vector<std::wstring> const bad = {
      L"{\"MinimizeInsteadOfClose\": \"false\", \"Autostart\": \"false\", "
      L"\"StartSyncAtStart\": \"false\"}",  // StartMinimzed missing
      L"{\"StartMinimized\": \"false\", \"MinimizeInsteadOfClose\": \"false\", \"Autostart\": "
      L"\"false\", \"StartSyncAtStart\": \"false\"}",  // the usual spelling is not the key
      L"{}",
  };
  for (auto const& json : bad) EXPECT_THROW(KVO_Core::get_settings(parse(json)), std::exception);

  std::vector<std::wstring> const bad_members = {
      L"\"RecycleBinDays\": \"70000\"",
      L"\"RecycleBinDays\": \"-1\"",
      L"\"RecycleBinDays\": \"\"",
      L"\"RecycleBinDays\": \"abc\"",
      L"\"RecycleBinDays\": \"99999999999\"",
      L"\"TransferLimitKB\": \"\"",
      L"\"TransferLimitKB\": \"x1\"",
      L"\"TransferLimitKB\": \"18446744073709551616\"",
      L"\"ShowErrors\": {\"a\": \"true\"}",
      L"\"Language\": [\"de\", \"en\"]",
  };
  for (auto const& members : bad_members) {
    SCOPED_TRACE(Utilities::util::wstring_to_string(members));
    EXPECT_THROW(KVO_Core::get_settings(section_with(members)), std::exception);
  }
  try {
    KVO_Core::get_settings(section_with(L"\"RecycleBinDays\": \"70000\""));
  } catch (std::exception const& e) {
    EXPECT_NE(std::string(e.what()).find("value outside 0..65535: 70000"), std::string::npos)
        << e.what();
  }
}

TEST(Settings, ReadingTheSectionAppliesAllOrNothing) {
  LogCapture log;
  BinFolder bin;
  KVO_Core::SharedSettings shared;
  Settings before;
  before.Language = "it";
  before.RecycleBinDays = 3;
  shared.set(before);
  KVO_Core::set_recycle_bin_path("/old/bin");

  // No section: nothing changes.
  EXPECT_TRUE(KVO_Core::read_settings_section(shared, parse(L"{\"Logging\": \"\"}")));
  EXPECT_EQ(shared.get(), before);
  EXPECT_FALSE(log.has("config_settings_read_error"));

  // A bad number stops the whole section: neither the settings nor the bin folder change.
  auto bad = parse(
      L"{\"Settings\": {\"StartMinimzed\": \"true\", \"MinimizeInsteadOfClose\": \"false\", "
      L"\"Autostart\": \"false\", \"StartSyncAtStart\": \"false\", \"RecycleBinPath\": "
      L"\"/new/bin\", \"RecycleBinDays\": \"70000\"}}");
  EXPECT_FALSE(KVO_Core::read_settings_section(shared, bad));
  EXPECT_EQ(shared.get(), before);
  EXPECT_EQ(KVO_Core::recycle_bin_path(), "/old/bin");
  EXPECT_TRUE(log.has("config_settings_read_error"));
  EXPECT_NE(log.text().find("value outside 0..65535: 70000"), std::string::npos);

  // A bin folder that is no text is refused before anything is applied.
  auto bad_bin = parse(
      L"{\"Settings\": {\"StartMinimzed\": \"true\", \"MinimizeInsteadOfClose\": \"false\", "
      L"\"Autostart\": \"false\", \"StartSyncAtStart\": \"false\", \"RecycleBinPath\": "
      L"{\"x\": \"y\"}}}");
  EXPECT_FALSE(KVO_Core::read_settings_section(shared, bad_bin));
  EXPECT_EQ(shared.get(), before);

  // A good section replaces every value; an empty bin folder keeps the one in force.
  auto good = parse(
      L"{\"Settings\": {\"StartMinimzed\": \"true\", \"MinimizeInsteadOfClose\": \"false\", "
      L"\"Autostart\": \"false\", \"StartSyncAtStart\": \"false\", \"RecycleBinPath\": \"\"}}");
  EXPECT_TRUE(KVO_Core::read_settings_section(shared, good));
  Settings expected;
  expected.StartMinimzed = true;
  EXPECT_EQ(shared.get(), expected);
  EXPECT_EQ(KVO_Core::recycle_bin_path(), "/old/bin");

  auto with_bin = parse(
      L"{\"Settings\": {\"StartMinimzed\": \"true\", \"MinimizeInsteadOfClose\": \"false\", "
      L"\"Autostart\": \"false\", \"StartSyncAtStart\": \"false\", \"RecycleBinPath\": "
      L"\"/B\u00e4r/bin\"}}");
  EXPECT_TRUE(KVO_Core::read_settings_section(shared, with_bin));
  EXPECT_EQ(KVO_Core::recycle_bin_path(), "/B\xc3\xa4r/bin");
}

TEST(Settings, WrittenInFileOrderAndReadBackEqual) {
  BinFolder bin;
  KVO_Core::set_recycle_bin_path("/home/u/.recyclebin");
  Settings s;
  s.DeleteMode = DeleteMode::Permanent;
  s.Autostart = true;
  s.ShowErrors = false;
  s.ShowInfos = true;
  s.BackupProofPath = L"/Volumes/Sch\u00f6n/proofs \u2713";
  s.RecycleBinDays = 65535;
  s.TransferLimitKB = 4294967295u;
  s.Language = "de";
  s.EncryptionRecipient = "age1xyz";

  wptree root;
  root.push_back({L"Before", wptree(L"x")});
  KVO_Core::write_settings_section(s, root);
  ASSERT_EQ(root.size(), 2u);
  EXPECT_EQ(root.back().first, L"Settings");

  std::vector<std::pair<std::wstring, std::wstring>> written;
  for (auto const& [key, value] : root.back().second) written.emplace_back(key, value.data());
  std::vector<std::pair<std::wstring, std::wstring>> const expected = {
      {L"StartMinimzed", L"false"},
      {L"MinimizeInsteadOfClose", L"false"},
      {L"Autostart", L"true"},
      {L"StartSyncAtStart", L"false"},
      {L"ShowErrors", L"false"},
      {L"ShowWarnings", L"false"},
      {L"ShowInfos", L"true"},
      {L"DeleteMode", L"Permanent"},
      {L"RecycleBinPath", L"/home/u/.recyclebin"},
      {L"BackupProofPath", L"/Volumes/Sch\u00f6n/proofs \u2713"},
      {L"RecycleBinDays", L"65535"},
      {L"TransferLimitKB", L"4294967295"},
      {L"Language", L"de"},
      {L"EncryptionRecipient", L"age1xyz"},
  };
  EXPECT_EQ(written, expected);

  // Through the JSON text and the reader, as the configuration file takes them.
  auto reread = parse(Utilities::json::to_text(root));
  EXPECT_EQ(KVO_Core::get_settings(reread.get_child(L"Settings")), s);
}

TEST(Settings, ConcurrencySharedSettingsHandOutWholeValues) {
  KVO_Core::SharedSettings shared;
  Settings a;
  Settings b;
  b.Language = "a language name long enough to live on the heap";
  b.TransferLimitKB = 7;
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) shared.set(i % 2 ? a : b);
    stop = true;
  });
  bool whole = true;
  while (!stop && whole) {
    auto seen = shared.get();
    whole = seen == a || seen == b;
  }
  EXPECT_TRUE(whole);
  writer.join();
  shared.update([](Settings& s) { s.EncryptionRecipient = "age1new"; });
  EXPECT_EQ(shared.get().EncryptionRecipient, "age1new");
}

}  // namespace
