#include "core/cloud/oauth/TokenCache.h"

#include <algorithm>
#include <utility>

namespace KVO_Core::oauth {

namespace {

constexpr auto EXPIRY_MARGIN = std::chrono::seconds(60);
constexpr auto SAVE_INTERVAL = std::chrono::seconds(86400);
// Lifetimes beyond a year are not believed; the bound keeps the time arithmetic in range.
constexpr std::int64_t LONGEST_LIFETIME = 365LL * 86400;
constexpr std::size_t CONFIGURED_KEPT = 3;

bool is_cloud(SshAccount const& account) {
  return account.kind == SshAccount::GoogleDrive || account.kind == SshAccount::OneDrive ||
         account.kind == SshAccount::Dropbox;
}

}  // namespace

TokenCache::TokenCache(Clock clock, Exchange exchange, Save save)
    : clock_(std::move(clock)), exchange_(std::move(exchange)), save_(std::move(save)) {}

TokenCache::Entry& TokenCache::entry_for(SshAccount const& account) {
  auto& entry = entries_[account.name()];
  bool const same_login = entry.newest.empty() || account.password() == entry.newest ||
                          std::find(entry.configured.begin(), entry.configured.end(),
                                    account.password()) != entry.configured.end();
  if (!same_login) entry = Entry{};
  return entry;
}

void TokenCache::save_if_due(SshAccount const& account, Entry& entry) {
  if (!entry.unsaved) return;
  auto const now = clock_();
  if (entry.refresh_saved && now - *entry.refresh_saved <= SAVE_INTERVAL) return;
  switch (save_(account.name(), account.password(), entry.newest)) {
    case SaveOutcome::Deferred:
      return;
    case SaveOutcome::Failed:
      entry.refresh_saved = now;
      return;
    case SaveOutcome::Saved:
      entry.configured.push_back(entry.newest);
      if (entry.configured.size() > CONFIGURED_KEPT)
        entry.configured.erase(entry.configured.begin());
      break;
    case SaveOutcome::NotApplicable:
      break;
  }
  entry.unsaved = false;
  entry.refresh_saved = now;
}

std::string TokenCache::access_token(SshAccount const& account) {
  std::lock_guard lock(mutex_);
  auto& entry = entry_for(account);
  save_if_due(account, entry);
  if (!entry.token.empty() && clock_() + EXPIRY_MARGIN < entry.expires) return entry.token;

  std::string const refresh = entry.newest.empty() ? account.password() : entry.newest;
  Grant grant = exchange_(account, refresh);
  auto const now = clock_();
  entry.token = std::move(grant.access_token);
  auto const lifetime = std::clamp<std::int64_t>(grant.expires_in.value_or(0), 0, LONGEST_LIFETIME);
  entry.expires = now + std::chrono::seconds(lifetime);
  if (entry.newest.empty()) {
    entry.newest = account.password();
    entry.configured = {account.password()};
  }
  if (!grant.refresh_token.empty() && grant.refresh_token != entry.newest) {
    entry.newest = std::move(grant.refresh_token);
    entry.unsaved = true;
    save_if_due(account, entry);
  }
  return entry.token;
}

bool TokenCache::forget(SshAccount const& account) {
  if (!is_cloud(account)) return false;
  std::lock_guard lock(mutex_);
  auto found = entries_.find(account.name());
  if (found == entries_.end()) return false;
  auto& entry = found->second;
  if (entry.unsaved) {
    // The rotated refresh token may be the only valid one left: keep it for the next refresh.
    entry.token.clear();
    entry.expires = {};
    entry.refresh_saved.reset();
  } else {
    entries_.erase(found);
  }
  return true;
}

}  // namespace KVO_Core::oauth
