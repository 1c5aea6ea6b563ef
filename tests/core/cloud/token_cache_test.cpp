// The access-token cache with a clock, token endpoint and configuration of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/cloud/oauth/TokenCache.h"

namespace {

using namespace KVO_Core;
using namespace std::chrono_literals;
using oauth::Grant;
using oauth::SaveOutcome;
using oauth::TokenCache;

struct Save {
  std::string name, old_token, new_token;
};

// The endpoint answers each exchange with the next access token, `expires_in` and, when
// `rotate_to` is not empty, that refresh token.
class TokenCacheTest : public ::testing::Test {
 protected:
  TokenCache cache{
      [this] { return now; },
      [this](SshAccount const&, std::string const& refresh) {
        sent.push_back(refresh);
        if (refuse) throw std::runtime_error("refused");
        return Grant{"access-" + std::to_string(sent.size()), expires_in, rotate_to};
      },
      [this](std::string const& name, std::string const& old_token, std::string const& new_token) {
        saves.push_back({name, old_token, new_token});
        return save_outcome;
      }};

  static SshAccount account(std::string const& name, std::string const& refresh,
                            int kind = SshAccount::GoogleDrive) {
    SshAccount made;
    made.set_name(name);
    made.set_password(refresh);
    made.kind = kind;
    return made;
  }

  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + 1000h;
  std::optional<std::int64_t> expires_in = 3600;
  std::string rotate_to;
  bool refuse = false;
  SaveOutcome save_outcome = SaveOutcome::Saved;
  std::vector<std::string> sent;
  std::vector<Save> saves;
};

TEST_F(TokenCacheTest, ReusedUntilSixtySecondsBeforeExpiry) {
  auto const g = account("g", "r0");
  EXPECT_EQ(cache.access_token(g), "access-1");
  now += 3600s - 61s;
  EXPECT_EQ(cache.access_token(g), "access-1");
  now += 1s;  // exactly 60 s left: stale
  EXPECT_EQ(cache.access_token(g), "access-2");
  EXPECT_EQ(sent, (std::vector<std::string>{"r0", "r0"}));
  EXPECT_TRUE(saves.empty());
}

TEST_F(TokenCacheTest, ShortOrMissingLifetimeRefreshesEveryCall) {
  struct Case {
    std::optional<std::int64_t> expires_in;
  };
  for (auto const& c : std::vector<Case>{{std::nullopt}, {60}, {0}, {-5}}) {
    TokenCache fresh{[this] { return now; },
                     [&](SshAccount const&, std::string const&) {
                       return Grant{"t" + std::to_string(sent.size()), c.expires_in, ""};
                     },
                     [](auto const&, auto const&, auto const&) { return SaveOutcome::Saved; }};
    auto const g = account("g", "r0");
    sent.clear();
    auto first = fresh.access_token(g);
    sent.push_back("x");
    EXPECT_NE(fresh.access_token(g), first) << c.expires_in.value_or(-1);
  }
}

TEST_F(TokenCacheTest, RotationSavedOnceADayAndNeverDropped) {
  auto const g = account("g", "r0");
  expires_in = std::nullopt;  // every call exchanges
  rotate_to = "r1";
  cache.access_token(g);
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_EQ(saves[0].name, "g");
  EXPECT_EQ(saves[0].old_token, "r0");
  EXPECT_EQ(saves[0].new_token, "r1");

  // A second rotation within the day is not written, but the next exchange sends it.
  rotate_to = "r2";
  now += 3600s;
  cache.access_token(g);
  rotate_to = "";
  cache.access_token(g);
  EXPECT_EQ(saves.size(), 1u);
  EXPECT_EQ(sent, (std::vector<std::string>{"r0", "r1", "r2"}));

  // More than a day after the first write, the waiting token is written at the next call,
  // also when the provider rotates nothing then. The caller's account still holds r1.
  now += 86400s - 3600s + 1s;
  cache.access_token(account("g", "r1"));
  ASSERT_EQ(saves.size(), 2u);
  EXPECT_EQ(saves[1].old_token, "r1");
  EXPECT_EQ(saves[1].new_token, "r2");
  cache.access_token(account("g", "r2"));
  EXPECT_EQ(saves.size(), 2u);
}

TEST_F(TokenCacheTest, RepeatedOrMissingRefreshTokenWritesNothing) {
  for (std::string answer : {"", "r0"}) {
    rotate_to = answer;
    expires_in = std::nullopt;
    cache.access_token(account("g", "r0"));
    cache.access_token(account("g", "r0"));
  }
  EXPECT_TRUE(saves.empty());
}

TEST_F(TokenCacheTest, DeferredSaveRetriedAtNextCallFailedOneAfterADay) {
  auto const g = account("g", "r0");
  rotate_to = "r1";
  save_outcome = SaveOutcome::Deferred;
  cache.access_token(g);
  rotate_to = "";
  cache.access_token(g);  // cached token; the save is tried again
  EXPECT_EQ(saves.size(), 2u);
  save_outcome = SaveOutcome::Failed;
  cache.access_token(g);
  cache.access_token(g);
  EXPECT_EQ(saves.size(), 3u);
  now += 86401s;
  save_outcome = SaveOutcome::Saved;
  cache.access_token(g);
  cache.access_token(g);
  EXPECT_EQ(saves.size(), 4u);
  EXPECT_EQ(sent.front(), "r0");
  EXPECT_EQ(sent.back(), "r1");
}

TEST_F(TokenCacheTest, ForgetDropsTheTokenButNotARotation) {
  EXPECT_FALSE(cache.forget(account("g", "r0")));  // no entry yet
  for (int kind : {0, 4}) EXPECT_FALSE(cache.forget(account("g", "r0", kind)));

  auto const g = account("g", "r0");
  cache.access_token(g);
  for (int kind : {0, 4}) EXPECT_FALSE(cache.forget(account("g", "r0", kind)));
  EXPECT_EQ(cache.access_token(g), "access-1");
  // Another kind under the same name shares the entry.
  EXPECT_TRUE(cache.forget(account("g", "r0", SshAccount::Dropbox)));
  EXPECT_FALSE(cache.forget(g));
  EXPECT_EQ(cache.access_token(g), "access-2");

  // A rotation that could not be saved yet survives a forget; after it, a rotation is written
  // at once even within the day.
  rotate_to = "r1";
  save_outcome = SaveOutcome::Deferred;
  cache.forget(g);
  cache.access_token(g);
  EXPECT_TRUE(cache.forget(g));
  rotate_to = "";
  save_outcome = SaveOutcome::Saved;
  cache.access_token(g);
  EXPECT_EQ(sent.back(), "r1");
  EXPECT_EQ(saves.back().new_token, "r1");
  auto const written = saves.size();
  rotate_to = "r2";
  cache.forget(g);
  cache.access_token(account("g", "r1"));
  EXPECT_EQ(saves.size(), written + 1);
  EXPECT_EQ(saves.back().new_token, "r2");
}

TEST_F(TokenCacheTest, NewLoginUnderTheSameNameUsesNothingOfTheOld) {
  rotate_to = "r1";
  save_outcome = SaveOutcome::Deferred;
  cache.access_token(account("g", "r0"));
  rotate_to = "";
  // The account was logged in anew: neither the old access token nor the old login's rotated
  // refresh token may serve it.
  EXPECT_EQ(cache.access_token(account("g", "other")), "access-2");
  EXPECT_EQ(sent.back(), "other");
  auto const tried = saves.size();
  cache.access_token(account("g", "other"));
  EXPECT_EQ(saves.size(), tried);
}

TEST_F(TokenCacheTest, FailedExchangePropagatesAndKeepsTheState) {
  auto const g = account("g", "r0");
  cache.access_token(g);
  now += 3600s;
  refuse = true;
  EXPECT_THROW(cache.access_token(g), std::runtime_error);
  refuse = false;
  EXPECT_EQ(cache.access_token(g), "access-3");
  EXPECT_EQ(sent, (std::vector<std::string>{"r0", "r0", "r0"}));
}

// Threads asking at once share one exchange: the cache holds its lock across it.
TEST_F(TokenCacheTest, ConcurrencyOneExchangeForManyThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> got(8);
  for (std::size_t t = 0; t < got.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) got[t] = cache.access_token(account("shared", "r0"));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sent.size(), 1u);
  for (auto const& token : got) EXPECT_EQ(token, "access-1");
}

}  // namespace
