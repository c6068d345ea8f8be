#include "chat/place_key.h"

#include <atomic>

#include "platform/digest.h"
#include "platform/random.h"
#include "storage/account_name.h"
#include "server/form_text.h"

namespace tvl {

namespace {

// Compares without stopping at the first difference, so the time taken does
// not tell how much of a guessed key was right.
bool same_bytes(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string decoded(std::string text) {
  form_decode(text);
  return text;
}

}  // namespace

std::string new_guest_key() { return random_hex(kGuestKeyBytes); }

namespace {
std::atomic<unsigned long long> next_place{1};
}  // namespace

unsigned long long new_place_id() { return next_place.fetch_add(1); }

void use_cluster_place_ids() {
  unsigned long long high = 0;
  if (!random_bytes(&high, sizeof high)) return;
  // 23 random bits above 40 of count: places of different servers differ
  // unless two servers drew the same bits (about one pair in millions).
  high = ((high & 0x7fffffULL) | 1ULL) << 40;
  unsigned long long now = next_place.load();
  while (now < high && !next_place.compare_exchange_weak(now, high + (now & 0xffffffffffULL))) {
  }
}

std::string key_digest(const std::string& key) { return sha256_hex(key); }

void set_place_names(OnlineUser& place, const std::string& decoded_name) {
  place.name_fold = account_name_fold(decoded_name);
  place.skeleton = account_name_skeleton(decoded_name);
}

bool name_online(const ChatState& state, const std::string& decoded_name) {
  const std::string fold = account_name_fold(decoded_name);
  const std::string skeleton = account_name_skeleton(decoded_name);
  for (int i = 0; i < state.online_count(); ++i) {
    const OnlineUser& u = state.user(i);
    if (u.name_fold == fold || u.skeleton == skeleton) return true;
  }
  return false;
}

bool lookalike_online(const ChatState& state, const std::string& decoded_name) {
  const std::string fold = account_name_fold(decoded_name);
  const std::string skeleton = account_name_skeleton(decoded_name);
  for (int i = 0; i < state.online_count(); ++i) {
    const OnlineUser& u = state.user(i);
    if (u.skeleton == skeleton && u.name_fold != fold) return true;
  }
  return false;
}

bool key_matches(const OnlineUser& place, const std::string& password_in_address) {
  if (place.key.empty()) {
    // A place entered on another server: its key's digest. Keys are plain
    // hex, so the value is compared as it stands.
    return !place.key_digest.empty() &&
           same_bytes(place.key_digest, key_digest(password_in_address));
  }
  if (same_bytes(place.key, password_in_address)) return true;
  // Only a hand-typed member password can differ in its encoding; guest keys
  // are plain hex and never reach this.
  return same_bytes(decoded(place.key), decoded(password_in_address));
}

AccountCheck check_account_in_address(AccountStore& accounts, const std::string& name,
                                      const std::string& password_in_address, std::string& icon) {
  // One check (one hash), whatever the value holds: the form the start
  // page sends, decoded. A check per way of reading the value would make a
  // value with "%" escapes cost twice, which tells it apart.
  return accounts.check(name, decoded(password_in_address), icon);
}

std::optional<int> find_keyed_user(const ChatState& state, int room, const std::string& name,
                                   const std::string& password_in_address) {
  const std::optional<int> index = state.find_online_user(room, name);
  if (index && key_matches(state.user(*index), password_in_address)) return index;
  return std::nullopt;
}

}  // namespace tvl
