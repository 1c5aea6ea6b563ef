// The device identity: made once, reloaded without writes, made anew when the stored pair is
// damaged or does not belong together, and still usable when it cannot be stored.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <functional>

#include <openssl/x509.h>

#include "core/devicelink/DeviceIdentity.h"
#include "core/devicelink/OpenSslHandles.h"
#include "support/scoped_mount.h"
#include "support/temp_dir.h"
#include "utilities/Logging.h"
#include "utilities/Paths.h"
#include "utilities/Translation.h"

namespace {

namespace fs = std::filesystem;
using KVO_Core::DeviceIdentity;

unsigned mode_of(fs::path const& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct Stamp {
  ino_t inode;
  timespec mtime;
};
Stamp stamp_of(fs::path const& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return {st.st_ino, st.st_mtim};
}
bool same(Stamp a, Stamp b) {
  return a.inode == b.inode && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec;
}

std::string cli_fingerprint(fs::path const& cert) {
  std::string out = test_support::run_output("openssl x509 -in '" + cert.string() +
                                             "' -noout -fingerprint -sha256");
  std::string hex;
  for (char c : out.substr(out.find('=') + 1))
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += static_cast<char>(std::tolower(c));
  return hex;
}

class IdentityTest : public ::testing::Test {
 protected:
  IdentityTest() {
    auto& log = Utilities::Logging::instance();
    log.set_log_file_path_name(Utilities::from_path(dir / "test.log"));
    log.open_file();
  }
  fs::path key() const { return dir / "link/device.key"; }
  fs::path crt() const { return dir / "link/device.crt"; }
  std::optional<DeviceIdentity> load() const {
    return DeviceIdentity::load_or_create(dir / "link");
  }

  test_support::TempDir dir;
};

TEST_F(IdentityTest, AFreshIdentityIsStoredPrivatelyAndReloadedWithoutWrites) {
  auto const made = load();
  ASSERT_TRUE(made);
  EXPECT_EQ(mode_of(key()), 0600u);
  EXPECT_EQ(mode_of(crt()), 0600u);
  EXPECT_EQ(test_support::read_file(crt()), made->certificate_pem);
  EXPECT_EQ(made->fingerprint, cli_fingerprint(crt()));
  EXPECT_EQ(made->fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);

  auto cert = KVO_Core::openssl::read_certificate(made->certificate_pem);
  ASSERT_TRUE(cert);
  EXPECT_EQ(X509_get_version(cert.get()), 2);
  std::array<char, 256> subject{}, issuer{};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert.get()), NID_commonName, subject.data(),
                            subject.size());
  X509_NAME_get_text_by_NID(X509_get_issuer_name(cert.get()), NID_commonName, issuer.data(),
                            issuer.size());
  EXPECT_EQ(std::string(subject.data()),
            KVO_Core::identity_common_name(KVO_Core::host_name_or("Pellimoravin")));
  EXPECT_EQ(std::string(issuer.data()), std::string(subject.data()));
  int days = 0, seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert.get()),
                           X509_get0_notAfter(cert.get())),
            1);
  EXPECT_EQ(days, 7301);
  ASN1_INTEGER const* serial = X509_get0_serialNumber(cert.get());
  EXPECT_LE(serial->length, 16);
  EXPECT_FALSE(serial->type & V_ASN1_NEG);

  Stamp const key_before = stamp_of(key()), crt_before = stamp_of(crt());
  auto const again = load();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->certificate_pem, made->certificate_pem);
  EXPECT_EQ(again->key_pem, made->key_pem);
  EXPECT_EQ(again->fingerprint, made->fingerprint);
  EXPECT_TRUE(same(stamp_of(key()), key_before));
  EXPECT_TRUE(same(stamp_of(crt()), crt_before));
}

TEST_F(IdentityTest, ADamagedOrMismatchedPairIsMadeAnew) {
  test_support::TempDir other;
  auto const foreign = DeviceIdentity::load_or_create(other.path());
  ASSERT_TRUE(foreign);
  // A key that needs a pass phrase: the service has no one to ask.
  ASSERT_EQ(test_support::run("openssl pkcs8 -topk8 -v2 aes256 -passout pass:secret -in '" +
                              (other / "device.key").string() + "' -out '" +
                              (other / "encrypted.key").string() + "' </dev/null 2>/dev/null"),
            0);
  std::string const encrypted = test_support::read_file(other / "encrypted.key");

  struct Case {
    char const* what;
    std::function<void(DeviceIdentity const&)> damage;
  };
  Case const cases[] = {
      {"key missing", [&](DeviceIdentity const&) { fs::remove(key()); }},
      {"certificate missing", [&](DeviceIdentity const&) { fs::remove(crt()); }},
      {"empty key", [&](DeviceIdentity const&) { test_support::write_file(key(), ""); }},
      {"garbage certificate",
       [&](DeviceIdentity const&) { test_support::write_file(crt(), "-----BEGIN CERT"); }},
      {"another identity's key (a write cut short)",
       [&](DeviceIdentity const&) { test_support::write_file(key(), foreign->key_pem); }},
      {"another identity's certificate",
       [&](DeviceIdentity const&) { test_support::write_file(crt(), foreign->certificate_pem); }},
      {"an encrypted key",
       [&](DeviceIdentity const&) { test_support::write_file(key(), encrypted); }},
  };
  for (Case const& c : cases) {
    auto const before = load();
    ASSERT_TRUE(before) << c.what;
    c.damage(*before);
    auto const after = load();
    ASSERT_TRUE(after) << c.what;
    EXPECT_NE(after->fingerprint, before->fingerprint) << c.what;
    EXPECT_NE(after->fingerprint, foreign->fingerprint) << c.what;
    auto const reloaded = load();
    ASSERT_TRUE(reloaded) << c.what;
    EXPECT_EQ(reloaded->fingerprint, after->fingerprint) << c.what << ": both files rewritten";
    EXPECT_EQ(cli_fingerprint(crt()), after->fingerprint) << c.what;
    EXPECT_FALSE(fs::exists(dir / "link/device.key.tmp")) << c.what;
  }
}

TEST_F(IdentityTest, AnUnwritableFolderStillGivesAnIdentity) {
  test_support::ScopedTmpfs mount(dir / "link", "size=64k");
  ASSERT_TRUE(mount.ok()) << mount.error();
  ASSERT_TRUE(mount.remount("ro"));
  auto const made = load();
  ASSERT_TRUE(made);
  EXPECT_EQ(made->fingerprint.size(), 64u);
  EXPECT_FALSE(fs::exists(crt()));
  std::string const log = test_support::read_file(dir / "test.log");
  EXPECT_NE(log.find(Utilities::translation::translate_utf8("device_identity_not_saved") + " " +
                     (dir / "link").string()),
            std::string::npos)
      << log;
}

TEST(IdentityName, TheCommonNameIsCutToSixtyFourCharactersOnACharacterBoundary) {
  std::string const ae = "\xc3\xa4";  // two bytes, one character
  struct Case {
    std::string host;
    std::string name;
  };
  Case const cases[] = {
      {"desk", "Pellimoravin desk"},
      {std::string(51, 'h'), "Pellimoravin " + std::string(51, 'h')},
      {std::string(63, 'h'), "Pellimoravin " + std::string(51, 'h')},
      {[&] {
         std::string s;
         for (int i = 0; i < 60; ++i) s += ae;
         return s;
       }(),
       [&] {
         std::string s = "Pellimoravin ";
         for (int i = 0; i < 51; ++i) s += ae;
         return s;
       }()},
      {"h" + std::string(50, 'x') + "\xe2\x82\xac" + "tail",
       "Pellimoravin h" + std::string(50, 'x')},
  };
  for (Case const& c : cases) EXPECT_EQ(KVO_Core::identity_common_name(c.host), c.name) << c.host;
}

}  // namespace

namespace {

// In a child with a host name of its own: 0 when the identity made there names `expected`.
int identity_under_host_name(std::string const& host, fs::path const& dir,
                             std::string const& expected) {
  pid_t const child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(host.data(), host.size()) != 0) ::_exit(2);
    auto const made = DeviceIdentity::load_or_create(dir);
    if (!made) ::_exit(3);
    auto cert = KVO_Core::openssl::read_certificate(made->certificate_pem);
    std::array<char, 256> subject{};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert.get()), NID_commonName, subject.data(),
                              subject.size());
    ::_exit(expected == subject.data() ? 0 : 4);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(IdentityHost, LongAndOddHostNamesStillGiveACertificate) {
  struct Case {
    char const* what;
    std::string host;
    std::string name;
  };
  Case const cases[] = {
      {"the longest host name", std::string(64, 'h'), "Pellimoravin " + std::string(51, 'h')},
      {"bytes that are no UTF-8", "pc\xff\xfe", "Pellimoravin Pellimoravin"},
  };
  for (Case const& c : cases) {
    test_support::TempDir dir;
    EXPECT_EQ(identity_under_host_name(c.host, dir.path(), c.name), 0) << c.what;
  }
}

}  // namespace
