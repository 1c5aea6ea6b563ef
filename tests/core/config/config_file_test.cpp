// Reading and writing the whole configuration file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "config_fixture.h"
#include "core/config/AccountsSection.h"
#include "utilities/Json.h"
#include "utilities/Logging.h"

namespace {

using namespace KVO_Core;
using boost::property_tree::wptree;
using config_test::ConfigFixture;
using config_test::wide;
using test_support::read_file;
using test_support::run;
using test_support::write_file;

constexpr char const* PHONE_ID = "0123456789abcdef0123456789abcdef";

wptree parse(std::string const& json) {
  std::wistringstream in(Utilities::util::string_to_wstring(json));
  wptree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

// The text with every stored password replaced by one marker.
std::string without_ciphertexts(std::string const& text) {
  return std::regex_replace(text, std::regex(R"(\$AES256GCM\$[A-Za-z0-9+/=]*)"), "<secret>");
}

mode_t mode_of(std::filesystem::path const& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

// One "Syncitem" entry: the required members, each replaced by a member of `members` with the
// same key, then the other members of `members`.
std::string item_json(std::string const& name, std::string const& members = "") {
  std::vector<std::pair<std::string, std::string>> fields{{"name", "\"" + name + "\""},
                                                          {"type", "\"Verzeichnisbaum\""},
                                                          {"source", "\"/src/" + name + "\""},
                                                          {"target", "\"/dst/" + name + "\""},
                                                          {"wildcard", "\"*\""},
                                                          {"SyncCycle", "\"60\""}};
  std::string extra;
  auto tree = parse("{" + members + "}");
  for (auto const& [key, value] : tree) {
    std::string k = Utilities::util::wstring_to_string(key);
    // The member's JSON text, cut from `members`.
    auto start = members.find("\"" + k + "\"");
    auto colon = members.find(':', start);
    std::size_t depth = 0, end = colon + 1;
    bool in_string = false;
    for (; end < members.size(); ++end) {
      char c = members[end];
      if (in_string) {
        if (c == '\\')
          ++end;
        else if (c == '"')
          in_string = false;
      } else if (c == '"') {
        in_string = true;
      } else if (c == '{' || c == '[') {
        ++depth;
      } else if (c == '}' || c == ']') {
        --depth;
      } else if (c == ',' && depth == 0) {
        break;
      }
    }
    std::string json = members.substr(colon + 1, end - colon - 1);
    bool replaced = false;
    for (auto& field : fields) {
      if (field.first == k) {
        field.second = json;
        replaced = true;
      }
    }
    if (!replaced) extra += ", \"" + k + "\": " + json;
  }
  std::string text = "{";
  for (auto const& [key, value] : fields) {
    if (text.size() > 1) text += ", ";
    text += "\"" + key + "\": " + value;
  }
  return text + extra + "}";
}

// Restores the recycle bin's process-wide folder.
class BinFolder {
 public:
  BinFolder() : saved_(KVO_Core::recycle_bin_path()) {}
  ~BinFolder() { KVO_Core::set_recycle_bin_path(saved_); }

 private:
  std::filesystem::path saved_;
};

class ConfigFile : public ConfigFixture {
 protected:
  // A file with every section and every kind of entry.
  std::string full_file() const {
    std::string log_file = Utilities::util::wstring_to_string(log.file_path());
    return R"({
  "Settings": {"StartMinimzed": "true", "MinimizeInsteadOfClose": "false", "Autostart": "false",
    "StartSyncAtStart": "false", "ShowErrors": "true", "ShowWarnings": "false",
    "ShowInfos": "false", "DeleteMode": "Permanent", "RecycleBinPath": ")" +
           (home() / "bin").string() + R"(",
    "BackupProofPath": "/proofs", "RecycleBinDays": "30", "TransferLimitKB": "100",
    "Language": "de", "EncryptionRecipient": ""},
  "Logging": {"LogLevel": "Debug", "LogFilePathName": ")" +
           log_file + R"(", "RetentionDays": "7",
    "EditorPathName": "/usr/bin/editor", "NotifyEmailActive": "false", "NotifyEmail": "",
    "SmtpServer": "", "SmtpPort": "587", "SmtpUser": "", "SmtpPassword": "", "SmtpFrom": ""},
  "SshAccounts": [
    {"name": "nas", "host": "nas.local", "user": "me", "port": "2222", "hostKey": "ssh-ed25519 AAAA",
     "keyFile": "/home/me/.ssh/id", "password": "plain secret"},
    {"name": "bucket", "host": "", "user": "AKID", "s3": "true", "region": "",
     "password": "s3 secret"},
    {"name": "drive", "host": "", "user": "", "googleDrive": "true", "password": "token"}
  ],
  "Devices": {"Device": {"id": ")" +
           std::string(PHONE_ID) + R"(", "name": "Phone", "certFingerprint": "abcd"}},
  "Syncitems": {
    "Syncitem": {"compareitems": {"size": "true", "time": "true", "content": "false",
        "timeToleranceSeconds": "3"},
      "exclusions": ["*.tmp", "~*"],
      "syncflags": {"delAftercopy": "false", "twoWaySync": "true", "copyWhenTargetNewer": "false",
        "fatherSonPrinciple": "true", "maxGenerations": "5", "encryptTarget": "false",
        "maxFileMB": "100", "scheduleLimited": "true", "scheduleFrom": "480",
        "scheduleUntil": "1200", "scheduleDays": "31", "syncDeletions": "true",
        "backupProof": "false", "syncEmptyFiles": "true", "warnIfUnreachable": "false",
        "trackMoves": "true", "conflictCopies": "false", "watchChanges": "true",
        "symlinks": "asLink", "enabled": "true"},
      "name": "Fotos äöü", "type": "Verzeichnisbaum", "source": "/home/me/Fotos",
      "sourceType": "filesystem", "target": "nas:/backup/fotos", "targetType": "ssh",
      "wildcard": "*", "SyncCycle": "300"},
    "Syncitem": {"name": "plain", "type": "Datei", "source": "Backup (E:)/a.txt",
      "target": "/b.txt", "wildcard": "", "SyncCycle": "60"}
  }
})";
  }
  BinFolder bin_;
};

void expect_same_items(std::vector<SyncItem> const& a, std::vector<SyncItem> const& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].type, b[i].type);
    EXPECT_EQ(a[i].source()->path(), b[i].source()->path());
    EXPECT_EQ(a[i].source()->kind, b[i].source()->kind);
    EXPECT_EQ(a[i].target()->path(), b[i].target()->path());
    EXPECT_EQ(a[i].target()->kind, b[i].target()->kind);
    EXPECT_EQ(a[i].wildcard, b[i].wildcard);
    EXPECT_EQ(a[i].flags, b[i].flags);
    EXPECT_EQ(a[i].compare_items, b[i].compare_items);
    EXPECT_EQ(a[i].exclusions, b[i].exclusions);
    EXPECT_EQ(a[i].sync_cycle, b[i].sync_cycle);
  }
}

TEST_F(ConfigFile, FullFileReadWrittenAndReadAgainEqual) {
  ASSERT_TRUE(read_text(full_file()));
  EXPECT_TRUE(config().loaded());
  auto items = config().syncitems();
  auto accounts = config().ssh_accounts_snapshot();
  auto devices = config().devices_snapshot();
  Settings settings = config().settings.get();

  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, L"Fotos äöü");
  EXPECT_EQ(items[0].target()->kind, SyncPath::Ssh);
  EXPECT_EQ(items[0].ssh_path(items[0].target())->account().port, 2222);
  EXPECT_EQ(items[0].flags.schedule, (Schedule{true, 480, 1200, 31}));
  EXPECT_EQ(items[0].flags.symlinks, SymlinkMode::AsLink);
  EXPECT_EQ(items[0].exclusions.patterns, (std::vector<std::wstring>{L"*.tmp", L"~*"}));
  EXPECT_EQ(items[1].type, SyncItemType::File);
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0].password(), "plain secret");
  EXPECT_EQ(accounts[1].kind, SshAccount::S3);
  EXPECT_EQ(accounts[2].kind, SshAccount::GoogleDrive);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].sshHostKey, "");
  EXPECT_EQ(settings.DeleteMode, DeleteMode::Permanent);

  ASSERT_TRUE(write());
  EXPECT_FALSE(config().modified());
  std::string first = file_text();
  EXPECT_EQ(first.find("plain secret"), std::string::npos);
  EXPECT_NE(first.find("$AES256GCM$"), std::string::npos);
  auto key = data_folder() / "secret.key";
  EXPECT_EQ(std::filesystem::file_size(key), 32u);
  EXPECT_EQ(mode_of(key), 0600);
  EXPECT_FALSE(std::filesystem::exists(data_folder() / "pellimoravin.json.tmp"));

  // Top-level order, the S3 region, the empty host key of a device.
  auto tree = parse(first);
  std::vector<std::wstring> keys;
  for (auto const& member : tree) keys.push_back(member.first);
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"Settings", L"Logging", L"SshAccounts", L"Devices",
                                             L"Syncitems"}));
  EXPECT_NE(first.find("\"region\": \"\""), std::string::npos);
  // Entries under their singular keys, and byte for byte what the whole-tree writer makes of the
  // same tree.
  for (auto [section, entry_key] :
       {std::pair{L"SshAccounts", L"SshAccount"}, std::pair{L"Devices", L"Device"},
        std::pair{L"Syncitems", L"Syncitem"}}) {
    for (auto const& entry : tree.get_child(section)) EXPECT_EQ(entry.first, entry_key);
  }
  EXPECT_EQ(first, Utilities::util::wstring_to_string(Utilities::json::to_text(tree)));

  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  expect_same_items(config().syncitems(), items);
  EXPECT_EQ(config().ssh_accounts_snapshot(), accounts);
  EXPECT_EQ(config().devices_snapshot(), devices);
  EXPECT_EQ(config().settings.get(), settings);

  // A second write changes only the ciphertexts, each made with a fresh nonce.
  ASSERT_TRUE(write());
  std::string second = file_text();
  EXPECT_NE(second, first);
  EXPECT_EQ(without_ciphertexts(second), without_ciphertexts(first));
}

TEST_F(ConfigFile, EmptyListsAreWrittenAsEmptyTexts) {
  ASSERT_TRUE(read_text(R"({"Syncitems": ""})"));
  EXPECT_TRUE(config().syncitems().empty());
  ASSERT_TRUE(write());
  auto tree = parse(file_text());
  EXPECT_EQ(tree.get<std::wstring>(L"Syncitems"), L"");
  EXPECT_EQ(tree.get<std::wstring>(L"SshAccounts"), L"");
  EXPECT_EQ(tree.get<std::wstring>(L"Devices"), L"");
  ASSERT_TRUE(config().read(wide(config_file())));
}

TEST_F(ConfigFile, BadInputTable) {
  struct Case {
    char const* name;
    std::string content;  // "<missing>": no file
    bool result;
    std::vector<char const*> lines;
  };
  std::string deep(200000, '[');
  std::string good = R"({"Syncitems": {"Syncitem": )" + item_json("a") + "}}";
  std::vector<Case> cases{
      {"malformed",
       "{\"Syncitems\": ",
       false,
       {"config_read_exception", "config_read_error", "config_not_readable"}},
      {"empty file", "", false, {"config_read_exception", "config_not_readable"}},
      {"empty object", "{}", false, {"config_read_error", "config_not_readable"}},
      {"plain value", "\"text\"", false, {"config_read_error", "config_not_readable"}},
      {"missing file", "<missing>", false, {"config_file_not_exist", "config_not_readable"}},
      {"deep nesting", deep, false, {"config_read_exception", "config_not_readable"}},
      {"deep objects", std::string(100000, '{') + "\"[\"", false, {"config_read_exception"}},
      // The parser skips a leading byte-order mark.
      {"byte-order mark", "\xEF\xBB\xBF" + good, true, {}},
      {"invalid UTF-8", R"({"Syncitems": {"Syncitem": )" + item_json("a\xff\xfe") + "}}", true, {}},
      {"missing key",
       R"({"Syncitems": {"Syncitem": {"name": "a"}}})",
       true,
       {"config_read_sync_settings", "sync_item_entry_skipped"}},
      {"object for a text",
       R"({"Syncitems": [)" + item_json("a", R"("wildcard": {"x": "y"})") + "]}",
       true,
       {"sync_item_entry_skipped"}},
      {"empty object for a text",
       R"({"Syncitems": [)" + item_json("a", R"("exclusions": {}, "syncflags": {"delAftercopy": [],
           "twoWaySync": "", "copyWhenTargetNewer": "", "fatherSonPrinciple": "", "enabled": "true"})") +
           "]}",
       true,
       {}},
      {"number out of range",
       R"({"Syncitems": [)" + item_json("a", R"("SyncCycle": "70000")") + "]}",
       true,
       {"sync_item_entry_skipped"}},
      {"bad settings",
       R"({"Settings": {"StartMinimzed": "x"}})",
       true,
       {"config_settings_read_error"}},
  };
  for (auto const& c : cases) {
    Config::unload();
    std::filesystem::remove(config_file());
    if (c.content != "<missing>") write_file(config_file(), c.content);
    clear_log();
    bool result = config().read(wide(config_file()));
    EXPECT_EQ(result, c.result) << c.name << "\n" << log.text();
    EXPECT_EQ(config().loaded(), c.result) << c.name;
    for (char const* id : c.lines) EXPECT_TRUE(log.has(id)) << c.name << ": " << id;
    if (c.content != "<missing>") {
      EXPECT_EQ(file_text(), c.content) << c.name;
    }
    if (!c.result) {
      EXPECT_TRUE(config().syncitems().empty()) << c.name;
      EXPECT_EQ(config().settings.get(), Settings{}) << c.name;
    }
  }
}

TEST_F(ConfigFile, InvalidUtf8BecomesReplacementCharacters) {
  ASSERT_TRUE(read_text(R"({"Syncitems": {"Syncitem": )" + item_json("a\xff") + "}}"));
  EXPECT_EQ(config().syncitems().at(0).name, L"a\uFFFD");
}

TEST_F(ConfigFile, EscapedAndNonAsciiTextsSurviveARoundTrip) {
  // Escapes, a surrogate pair and raw UTF-8 in an array of items, beside an entry that is skipped.
  std::string escaped = R"(\u00e9t\u00e9 \ud83d\ude00 caf)"
                        "\xC3\xA9"
                        R"( \"q\" \/)";
  std::string bad_item = R"({"name": "b\u00e4d", "type": "Datei"})";
  ASSERT_TRUE(read_text(R"({"Syncitems": [)" + item_json(escaped) + ", " + bad_item + "]}"));
  std::wstring const name = L"\u00E9t\u00E9 \U0001F600 caf\u00E9 \"q\" /";
  ASSERT_EQ(config().syncitems().size(), 1u);
  EXPECT_EQ(config().syncitems()[0].name, name);
  EXPECT_EQ(config().syncitems()[0].source()->path(), L"/src/" + name);

  ASSERT_TRUE(write());
  std::string text = file_text();
  EXPECT_NE(text.find("\"name\": \"\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 caf\xC3\xA9 \\\"q\\\" /\""),
            std::string::npos);
  auto items = parse(text).get_child(L"Syncitems");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(std::next(items.begin())->first, L"");
  EXPECT_EQ(std::next(items.begin())->second, parse(bad_item));

  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  EXPECT_EQ(config().syncitems().at(0).name, name);
  ASSERT_TRUE(write());
  EXPECT_EQ(file_text(), text);
}

TEST_F(ConfigFile, SkippedEntriesAndSectionsSurviveTheNextWrite) {
  std::string bad_item = R"({"name": "typo", "type": "Datei", "sourc": "/s", "target": "/t",
      "wildcard": "", "SyncCycle": "60", "mine": "kept"})";
  std::string bad_account = R"({"name": "nopass", "host": "h", "user": "u"})";
  std::string bad_device = R"({"id": "NOT-HEX", "name": "x", "certFingerprint": "y"})";
  std::string bad_settings = R"({"StartMinimzed": "false", "MinimizeInsteadOfClose": "false",
      "Autostart": "false", "StartSyncAtStart": "false", "RecycleBinDays": "70000"})";
  std::string text = R"({"Settings": )" + bad_settings + R"(,
    "SshAccounts": {"SshAccount": )" +
                     bad_account +
                     R"(, "SshAccount": {"name": "ok", "host": "h", "user": "u", "password": ""}},
    "Devices": {"Device": {"id": ")" +
                     std::string(PHONE_ID) +
                     R"(", "name": "p", "certFingerprint": "c"}, "Device": )" + bad_device + R"(},
    "Syncitems": {"Syncitem": )" +
                     item_json("first") + R"(, "Syncitem": )" + bad_item + R"(, "Syncitem": )" +
                     item_json("last") + "}}";
  ASSERT_TRUE(read_text(text));
  EXPECT_EQ(config().syncitems().size(), 2u);
  EXPECT_EQ(config().ssh_accounts_snapshot().size(), 1u);
  EXPECT_EQ(config().devices_snapshot().size(), 1u);
  EXPECT_TRUE(log.has("ssh_account_entry_skipped"));
  EXPECT_TRUE(log.has("device_entry_skipped"));

  // An edit in memory, then the write that must not drop what was skipped.
  config().add(SyncItem(L"added", SyncItemType::Tree, L"/a", L"/b", L""), false);
  ASSERT_TRUE(write());
  auto written = parse(file_text());
  EXPECT_EQ(written.get_child(L"Settings"), parse(bad_settings));
  auto const& items = written.get_child(L"Syncitems");
  std::vector<std::wstring> names;
  for (auto const& [key, entry] : items) names.push_back(entry.get<std::wstring>(L"name"));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"first", L"typo", L"last", L"added"}));
  EXPECT_EQ(std::next(items.begin())->second, parse(bad_item));
  auto const& accounts = written.get_child(L"SshAccounts");
  EXPECT_EQ(accounts.begin()->second, parse(bad_account));
  auto const& devices = written.get_child(L"Devices");
  EXPECT_EQ(std::next(devices.begin())->second, parse(bad_device));

  // A value set in memory since the read goes into the kept section.
  config().settings.update([](Settings& s) { s.EncryptionRecipient = "age1recipient"; });
  ASSERT_TRUE(write());
  auto with_recipient = parse(bad_settings);
  with_recipient.push_back({L"EncryptionRecipient", wptree(L"age1recipient")});
  EXPECT_EQ(parse(file_text()).get_child(L"Settings"), with_recipient);

  // And they survive a second round as well.
  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  ASSERT_TRUE(write());
  EXPECT_EQ(std::next(parse(file_text()).get_child(L"Syncitems").begin())->second, parse(bad_item));
}

TEST_F(ConfigFile, RemoteSideOfAnUnknownAccountKeepsItsText) {
  ASSERT_TRUE(read_text(R"({"Syncitems": [)" +
                        item_json("a", R"("source": "nas:/data", "sourceType": "ssh")") + "]}"));
  auto item = config().syncitems().at(0);
  EXPECT_EQ(item.source()->kind, SyncPath::Ssh);
  EXPECT_EQ(item.source()->path(), L"nas:/data");
  ASSERT_TRUE(write());
  auto entry = parse(file_text()).get_child(L"Syncitems").begin()->second;
  EXPECT_EQ(entry.get<std::wstring>(L"source"), L"nas:/data");
  EXPECT_EQ(entry.get<std::wstring>(L"sourceType"), L"ssh");
}

TEST_F(ConfigFile, ATemporaryNameThatIsADirectoryFailsTheWrite) {
  ASSERT_TRUE(read_text(full_file()));
  std::string before = file_text();
  std::filesystem::create_directory(data_folder() / "pellimoravin.json.tmp");
  EXPECT_FALSE(write());
  EXPECT_TRUE(log.has("config_write_error"));
  EXPECT_EQ(file_text(), before);
  EXPECT_TRUE(std::filesystem::is_directory(data_folder() / "pellimoravin.json.tmp"));
}

TEST_F(ConfigFile, ATemporaryFileLeftByACrashIsReplaced) {
  ASSERT_TRUE(read_text(full_file()));
  write_file(data_folder() / "pellimoravin.json.tmp", "half a file");
  ASSERT_TRUE(write());
  EXPECT_FALSE(std::filesystem::exists(data_folder() / "pellimoravin.json.tmp"));
  EXPECT_NE(file_text().find("$AES256GCM$"), std::string::npos);
}

TEST_F(ConfigFile, APasswordThatCannotBeEncryptedFailsTheWholeWrite) {
  ASSERT_TRUE(read_text(full_file()));
  std::string before = file_text();
  std::filesystem::create_directories(data_folder() / "secret.key");
  EXPECT_FALSE(write());
  EXPECT_TRUE(log.has("config_write_error"));
  EXPECT_EQ(file_text(), before);
  EXPECT_FALSE(std::filesystem::exists(data_folder() / "pellimoravin.json.tmp"));
}

TEST_F(ConfigFile, UndecryptablePasswordIsKeptVerbatim) {
  // Encrypted under another installation's key.
  std::string stored = "$AES256GCM$" + std::string(40, 'A');
  ASSERT_TRUE(read_text(R"({"SshAccounts": [{"name": "nas", "host": "h", "user": "u",
      "password": ")" + stored +
                        R"("}]})"));
  EXPECT_TRUE(log.has("ssh_password_not_decryptable"));
  auto account = config().ssh_account_at(0).value();
  EXPECT_EQ(account.password(), "");
  EXPECT_EQ(account.stored_password, stored);
  ASSERT_TRUE(write());
  EXPECT_NE(file_text().find(stored), std::string::npos);
  account.set_password("new");
  config().update_ssh_account(0, account);
  ASSERT_TRUE(write());
  EXPECT_EQ(file_text().find(stored), std::string::npos);
  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  EXPECT_EQ(config().ssh_account_at(0)->password(), "new");
}

TEST_F(ConfigFile, AccountValues) {
  struct Case {
    char const* members;
    std::uint16_t port;
    int kind;
    bool warning;
  };
  for (auto const& c :
       std::vector<Case>{{R"("port": "2222")", 2222, 0, false},
                         {R"("port": "abc")", 22, 0, false},
                         {R"("port": "70000")", 22, 0, true},
                         {R"("port": "-1")", 22, 0, true},
                         {R"("port": "99999999999999999999")", 22, 0, true},
                         {R"("port": "65535")", 65535, 0, false},
                         {R"("googleDrive": "true", "dropbox": "true")", 22, 3, false},
                         {R"("oneDrive": "false")", 22, 0, false},
                         {R"("s3": "True")", 22, 0, false}}) {
    Config::unload();
    clear_log();
    ASSERT_TRUE(read_text(R"({"SshAccounts": [{"name": "n", "host": "h", "user": "u",
        "password": "p", )" +
                          std::string(c.members) + "}]}"));
    auto account = config().ssh_account_at(0).value();
    EXPECT_EQ(account.port, c.port) << c.members;
    EXPECT_EQ(account.kind, c.kind) << c.members;
    EXPECT_EQ(log.has("ssh_account_port_invalid"), c.warning) << c.members;
  }
}

TEST_F(ConfigFile, SyncItemValues) {
  struct Case {
    char const* name;
    std::string extra;
    bool loads;
    std::function<void(SyncItem const&)> check;
  };
  std::string flags = R"(, "syncflags": {"delAftercopy": "false", "twoWaySync": "false",
      "copyWhenTargetNewer": "false", "fatherSonPrinciple": "false", "enabled": "true")";
  std::vector<Case> cases{
      {"no syncflags", "", true,
       [](SyncItem const& i) {
         EXPECT_TRUE(i.flags.enabled && i.flags.warnIfUnreachable && i.flags.conflictCopies);
         EXPECT_EQ(i.compare_items, CompareItems{});
       }},
      {"syncflags without enabled",
       R"(, "syncflags": {"delAftercopy": "false", "twoWaySync": "false",
          "copyWhenTargetNewer": "false", "fatherSonPrinciple": "false"})",
       false, nullptr},
      {"only tolerance", R"(, "compareitems": {"timeToleranceSeconds": "5"})", true,
       [](SyncItem const& i) {
         EXPECT_TRUE(i.compare_items.items.empty());
         EXPECT_EQ(i.compare_items.timeToleranceSeconds, 5);
       }},
      {"schedule", flags + R"(, "scheduleDays": "128", "scheduleFrom": "1500"})", true,
       [](SyncItem const& i) {
         EXPECT_EQ(i.flags.schedule.days, 127);
         EXPECT_EQ(i.flags.schedule.from, 60);
       }},
      {"maxFileMB -1", flags + R"(, "maxFileMB": "-1"})", true,
       [](SyncItem const& i) { EXPECT_EQ(i.flags.maxFileMB, 4294967295u); }},
      {"maxFileMB no digits", flags + R"(, "maxFileMB": "lots"})", false, nullptr},
      {"cycle with blank and letter", R"(, "SyncCycle": " 30s")", true,
       [](SyncItem const& i) { EXPECT_EQ(i.sync_cycle, 30); }},
      {"True is false", flags.substr(0, flags.size()) + R"(, "trackMoves": "True"})", true,
       [](SyncItem const& i) { EXPECT_FALSE(i.flags.trackMoves); }},
      {"json literal true", R"(, "syncflags": {"delAftercopy": true, "twoWaySync": false,
          "copyWhenTargetNewer": false, "fatherSonPrinciple": false, "enabled": true})",
       true, [](SyncItem const& i) { EXPECT_TRUE(i.flags.delAftercopy); }},
      {"type message id", R"(, "type": "sync_item_type_dir")", true,
       [](SyncItem const& i) { EXPECT_EQ(i.type, SyncItemType::Directory); }},
      {"type unknown", R"(, "type": "folder")", true,
       [](SyncItem const& i) { EXPECT_EQ(i.type, SyncItemType::None); }},
      {"exclusions with empty", R"(, "exclusions": ["*.tmp", ""])", true,
       [](SyncItem const& i) {
         EXPECT_EQ(i.exclusions.patterns, std::vector<std::wstring>{L"*.tmp"});
       }},
      {"filesystem side stays local", R"(, "source": "nas:/x")", true,
       [](SyncItem const& i) { EXPECT_EQ(i.source()->kind, SyncPath::Filesystem); }},
  };
  for (auto const& c : cases) {
    Config::unload();
    std::string entry = item_json("a", c.extra.empty() ? "" : c.extra.substr(2));
    std::string text = R"({"SshAccounts": [{"name": "nas", "host": "h", "user": "u",
        "password": ""}], "Syncitems": [)" +
                       entry + "]}";
    ASSERT_TRUE(read_text(text)) << c.name;
    auto items = config().syncitems();
    ASSERT_EQ(items.size(), c.loads ? 1u : 0u) << c.name;
    if (c.loads && c.check) c.check(items[0]);
  }
}

TEST_F(ConfigFile, ItemsWrittenAndReadBackAlike) {
  config().add(SshAccount{}, true);
  SyncItem no_type(L"t0", SyncItemType::None, L"/s", L"/t", L"");
  SyncItem sideless;
  sideless.name = L"sideless";
  config().add(no_type, false);
  config().add(sideless, false);
  ASSERT_TRUE(write());
  Config::unload();
  ASSERT_TRUE(config().read(wide(config_file())));
  auto items = config().syncitems();
  EXPECT_EQ(mode_of(config_file()), 0600);
  ASSERT_EQ(items.size(), 1u);  // the item without sides is written without them and dropped
  EXPECT_EQ(items[0].type, SyncItemType::None);
  EXPECT_EQ(
      parse(file_text()).get_child(L"Syncitems").begin()->second.get<std::wstring>(L"exclusions"),
      L"");
}

TEST_F(ConfigFile, ChangeDetection) {
  ASSERT_TRUE(read_text(full_file()));
  config().pathname(wide(config_file()));
  EXPECT_FALSE(config().file_changed_on_disk());
  ASSERT_TRUE(write());
  EXPECT_FALSE(config().file_changed_on_disk());

  // Another program's edit, even to an older time.
  ASSERT_EQ(run("touch -d '2001-01-01 00:00:00' '" + config_file().string() + "'"), 0);
  EXPECT_TRUE(config().file_changed_on_disk());
  ASSERT_TRUE(config().read(wide(config_file())));
  EXPECT_FALSE(config().file_changed_on_disk());

  // A same-size replacement by rename that even keeps the time.
  std::string text = file_text();
  std::string changed = text;
  changed[changed.find("Fotos")] = 'f';
  write_file(home() / "replacement", changed);
  ASSERT_EQ(
      run("touch -r '" + config_file().string() + "' '" + (home() / "replacement").string() +
          "' && mv '" + (home() / "replacement").string() + "' '" + config_file().string() + "'"),
      0);
  EXPECT_TRUE(config().file_changed_on_disk());

  // Writing now would destroy that edit: refused, and the edit stays.
  EXPECT_FALSE(write());
  EXPECT_TRUE(log.has("config_changed_not_written"));
  EXPECT_EQ(file_text(), changed);

  // A vanished file is a change; one missing at the read and still missing is not.
  std::filesystem::remove(config_file());
  EXPECT_TRUE(config().file_changed_on_disk());
  EXPECT_FALSE(config().read(wide(config_file())));
  EXPECT_FALSE(config().file_changed_on_disk());
  write_file(config_file(), "{}");
  EXPECT_TRUE(config().file_changed_on_disk());
}

TEST_F(ConfigFile, WriteKeepsTheModeOfTheFile) {
  ASSERT_TRUE(read_text(full_file()));
  std::filesystem::permissions(config_file(), std::filesystem::perms(0640));
  ASSERT_TRUE(write());
  EXPECT_EQ(mode_of(config_file()), 0640);
}

TEST_F(ConfigFile, WriteThroughALinkKeepsTheLink) {
  auto real = home() / "dotfiles" / "pellimoravin.json";
  write_file(real, full_file());
  std::filesystem::create_directories(data_folder());
  std::filesystem::create_symlink(real, config_file());
  ASSERT_TRUE(config().read(wide(config_file())));
  ASSERT_TRUE(write());
  EXPECT_TRUE(std::filesystem::is_symlink(config_file()));
  EXPECT_NE(read_file(real).find("$AES256GCM$"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(ConfigFile, KeyFilesThatCannotServe) {
  struct Case {
    char const* name;
    std::function<void(std::filesystem::path const&)> make_key;
    bool written;
  };
  std::vector<Case> cases{
      {"31 bytes", [](auto const& key) { write_file(key, std::string(31, 'k')); }, false},
      {"33 bytes", [](auto const& key) { write_file(key, std::string(33, 'k')); }, false},
      {"directory", [](auto const& key) { std::filesystem::create_directories(key); }, false},
      {"empty", [](auto const& key) { write_file(key, ""); }, true},
  };
  for (auto const& c : cases) {
    // A home of its own per case: keys are cached per key-file path for the process's life.
    auto case_home = home() / c.name;
    test_support::ScopedEnv home_env("HOME", case_home.c_str());
    Config::unload();
    clear_log();
    auto file = case_home / "Library/Application Support/pellimoravin/pellimoravin.json";
    std::string text = R"({"SshAccounts": [{"name": "n", "host": "h", "user": "u",
        "password": "plain"}]})";
    write_file(file, text);
    c.make_key(file.parent_path() / "secret.key");
    ASSERT_TRUE(config().read(wide(file))) << c.name;
    EXPECT_EQ(config().write(wide(file)), c.written) << c.name;
    if (c.written) {
      EXPECT_EQ(std::filesystem::file_size(file.parent_path() / "secret.key"), 32u);
      EXPECT_EQ(read_file(file).find("plain"), std::string::npos);
    } else {
      EXPECT_EQ(read_file(file), text) << c.name;
      EXPECT_TRUE(log.has("config_write_error")) << c.name;
    }
  }
}

}  // namespace
