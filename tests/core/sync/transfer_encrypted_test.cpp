// An encrypted local target: written through the staging file and verified by decryption.
#include "core/crypto/EncryptionKey.h"
#include "core/crypto/TargetEncryption.h"
#include "transfer_fixture.h"

namespace {

using namespace transfer_test;
using KVO_Core::SyncFlags;
using KVO_Core::SyncItemType;

class EncryptedTransfer : public TransferPass {
 protected:
  ~EncryptedTransfer() override {
    KVO_Core::Config::instance()->settings.update(
        [](KVO_Core::Settings& s) { s.EncryptionRecipient.clear(); });
  }
  test_support::TempDir home;
  test_support::ScopedEnv home_env{"HOME", home.path().c_str()};
};

TEST_F(EncryptedTransfer, TargetDecryptsToTheSource) {
  auto const identity = KVO_Core::age::generate_identity();
  ASSERT_TRUE(identity);
  ASSERT_TRUE(KVO_Core::encryption_key::adopt(*identity));
  std::string const plain(200000, 'p');
  put(dir / "src/a.txt", plain, 10);
  put(dir / "dst/a.txt", "old", 0);
  SyncFlags flags;
  flags.encryptTarget = true;
  pass(make_item(SyncItemType::File, dir / "src/a.txt", dir / "dst/a.txt", flags));
  EXPECT_TRUE(report.errors.empty());
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(fs::file_size(dir / "dst/a.txt"), KVO_Core::age::encrypted_size(plain.size()));
  EXPECT_EQ(KVO_Core::target_encryption::holds(dir / "dst/a.txt", dir / "src/a.txt"),
            std::make_pair(true, true));
  EXPECT_EQ(fs::last_write_time(dir / "dst/a.txt"), at(10));
  EXPECT_EQ(leftovers(dir / "dst"), 0u);
}

}  // namespace
