// Backup proofs kept by the real service: one entry per run that copied, none for idle runs, a
// refused item's repeated failure written once, the file read back by an independent JSON
// parser; a damaged proof file is never rewritten.
#include "watch_fixture.h"

namespace {

using namespace watch_test;
using test_support::read_file;
using test_support::write_file;

// Prints the proof file's members, then one line per entry: "key=value" joined by "|", the time
// as TIME when it is a local time within five minutes of now, arrays as [a;b], anything that is
// not a string as NONSTRING. Prints a Python error when the file is no JSON.
constexpr char const* READER = R"(import datetime, json, sys
with open(sys.argv[1], encoding='utf-8') as f:
    doc = json.load(f)
print('members=' + ','.join(doc.keys()))
def text(v):
    if isinstance(v, list):
        return '[' + ';'.join(text(x) for x in v) + ']'
    return v if isinstance(v, str) else 'NONSTRING'
for entry in list(doc.values())[-1]:
    parts = []
    for k, v in entry.items():
        if k == 'Time':
            t = datetime.datetime.strptime(v, '%Y-%m-%d %H:%M:%S')
            v = 'TIME' if abs((datetime.datetime.now() - t).total_seconds()) < 300 else 'FAR:' + v
        parts.append(k + '=' + text(v))
    print('|'.join(parts))
)";

class BackupProof : public Watching {
 protected:
  fs::path proof_dir() const { return files / "proofs/of backups"; }
  fs::path proof_file(std::string const& name) const { return proof_dir() / (name + ".json"); }

  // The proof file as the reader above sees it.
  std::string parsed(std::string const& name) {
    write_file(files / "reader.py", READER);
    return test_support::run_output("python3 '" + (files / "reader.py").string() + "' '" +
                                    proof_file(name).string() + "' 2>&1");
  }
  std::size_t entries(std::string const& name) {
    std::string const text = parsed(name);
    if (text.rfind("members=", 0) != 0) return 0;
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) - 1;
  }

  std::string config(std::vector<Item> const& items) const {
    return logging_at(
        config_json(items, R"(, "BackupProofPath": ")" + json_text(proof_dir().string()) + "\""),
        "Debug");
  }
  // Passes over the item so far (every pass looks at every enabled item).
  std::size_t passes(std::string const& name) const {
    return log_count("\tSynchronize::sync_item: " + name + "\n");
  }
  // Waits for `n` more passes over the item.
  bool more_passes(std::string const& name, std::size_t n) const {
    std::size_t const from = passes(name);
    return eventually([&] { return passes(name) >= from + n; }, 30s);
  }
};

std::string const PROOF = R"(, "backupProof": "true")";

TEST_F(BackupProof, OneEntryPerRunThatCopiedAndARepeatedFailureOnce) {
  write_file(files / "src/a.txt", "alpha");
  write_file(files / "src/sub/b.txt", "bravo!");
  write_file(files / "enc/c.txt", "secret");
  Item copied = item("copied", files / "src", files / "dst/tree", false, PROOF);
  copied.type = "Verzeichnisbaum";
  // Two-way with an encrypted target is refused in every pass.
  Item refused = item("refused", files / "enc/c.txt", files / "dst/c.txt", true,
                      PROOF + R"(, "encryptTarget": "true")");
  write_config(config({copied, refused}));
  start();

  ASSERT_TRUE(eventually([&] { return entries("copied") == 1; }, 30s)) << parsed("copied") << log();
  ASSERT_TRUE(more_passes("copied", 3));
  std::string const dir = files.path().string();
  EXPECT_EQ(parsed("copied"), "members=Backups\nTime=TIME|Name=copied|Source=" + dir +
                                  "/src|Target=" + dir +
                                  "/dst/tree|Files=2|Volume=11|Status=successful\n")
      << log();

  write_file(files / "src/a.txt", "alpha2");
  ASSERT_TRUE(eventually([&] { return entries("copied") == 2; }, 30s)) << parsed("copied") << log();
  ASSERT_TRUE(more_passes("copied", 3));
  std::string const two = parsed("copied");
  EXPECT_EQ(two.substr(two.rfind("Time=")), "Time=TIME|Name=copied|Source=" + dir +
                                                "/src|Target=" + dir +
                                                "/dst/tree|Files=1|Volume=6|Status=successful\n")
      << two;
  EXPECT_EQ(entries("copied"), 2u) << "idle runs add nothing";

  std::string const failure = parsed("refused");
  EXPECT_EQ(entries("refused"), 1u) << failure << log();
  EXPECT_NE(failure.find("|Files=0|Volume=0|Status=failed|Errors=["), std::string::npos) << failure;
  EXPECT_NE(failure.find(" refused]\n"), std::string::npos)
      << "the error names the item: " << failure;
  EXPECT_EQ(terminate(), 0);
}

TEST_F(BackupProof, DamagedProofFileIsNeverRewritten) {
  struct Case {
    std::string name;
    std::string content;
  };
  std::vector<Case> const cases = {
      {"cut", "{\n    \"Backups\": [\n        {\n            \"Time\": \"2026-"},
      {"garbage", "this is not JSON\n"},
      // Valid JSON apart from bytes that are no UTF-8: rewriting would lose them.
      {"latin", "{\"Backups\": [{\"Name\": \"caf\xe9\"}]}\n"},
  };
  std::vector<Item> items;
  for (Case const& c : cases) {
    write_file(files / c.name / "f.txt", "v1");
    write_file(proof_file(c.name), c.content);
    Item i =
        item(c.name, files / c.name / "f.txt", files / "dst" / (c.name + ".txt"), false, PROOF);
    items.push_back(i);
  }
  write_config(config(items));
  start();
  for (Case const& c : cases) {
    EXPECT_TRUE(eventually([&] {
      return count("\tThe backup proof cannot be read and is left unchanged: " +
                   proof_file(c.name).string() + " ") >= 1;
    })) << c.name
        << log();
    EXPECT_EQ(read_file(files / "dst" / (c.name + ".txt")), "v1") << "the run itself succeeds";
  }
  // Later copying runs leave it as it is too.
  for (Case const& c : cases) write_file(files / c.name / "f.txt", "v2");
  for (Case const& c : cases) {
    EXPECT_TRUE(eventually([&] { return read_file(files / "dst" / (c.name + ".txt")) == "v2"; }));
    EXPECT_EQ(read_file(proof_file(c.name)), c.content) << c.name;
    EXPECT_FALSE(fs::exists(proof_file(c.name).string() + ".tmp")) << c.name;
  }
  EXPECT_EQ(terminate(), 0);
}

}  // namespace
