// The keys of the places in the online table. Every page that acts for an
// online user (the message stream, the post, the user list's own mark,
// leaving) finds the user by name and room and then checks the request's
// "&password=" value against the key of the place; a request whose key does
// not match is answered as if the user were not online. The key lives in the
// place itself, so the check reads no file.
//
// Every place, a member's as a guest's, gets kGuestKeyBytes random bytes from
// the operating system's generator, written as lower-case hex. chat.ghp puts
// the key where the password stood ("<!--$pass-->"), and the pages carry it
// on as their password value, so that after the login a member's password
// stands in no address and no page.
//
// Thread safety: the functions taking a ChatState need the chat lock held.
#pragma once
#include <optional>
#include <string>

#include "chat/chat_state.h"
#include "storage/account_store.h"

namespace tvl {

// 128 bits: far beyond guessing over the network.
constexpr std::size_t kGuestKeyBytes = 16;

// A fresh guest key (2 * kGuestKeyBytes hex digits); empty when the random
// source failed, in which case no guest may enter.
std::string new_guest_key();

// Whether the "&password=" value of a request (as it stands in the address)
// proves the place: equal to its key byte for byte, or equal once both are
// form-decoded (a page may have written a hand-typed value with "%" escapes).
// A place without a key matches nothing.
bool key_matches(const OnlineUser& place, const std::string& password_in_address);

// check_account for a password as it stands in a page address: the start
// page sends it encoded ("p%40ss" for "p@ss") while the account holds it as
// typed, so the decoded form is checked (one check, one hash, whatever the
// value holds; a password typed by hand into an address with "%" or "+" in
// it must be written encoded).
// Reads the account file; call without the chat lock.
AccountCheck check_account_in_address(AccountStore& accounts, const std::string& name,
                                      const std::string& password_in_address, std::string& icon);

// A new OnlineUser::place_id (never 0, never handed out twice).
unsigned long long new_place_id();
// From now on place ids start at random high bits, so that those of the
// servers of a cluster do not meet (called once when a node is made).
void use_cluster_place_ids();

// The digest of a place's key (OnlineUser::key_digest) that the servers of
// a cluster compare instead of the key.
std::string key_digest(const std::string& key);

// Fills the place's name_fold and skeleton from the decoded name.
void set_place_names(OnlineUser& place, const std::string& decoded_name);

// Chat lock held. Whether somebody online in any room is `decoded_name`
// (same fold) or looks like it (same skeleton).
bool name_online(const ChatState& state, const std::string& decoded_name)
    REQUIRES(state.chat_lock());

// Chat lock held. Whether somebody online in any room looks like
// `decoded_name` (same skeleton) without being that name (another fold).
bool lookalike_online(const ChatState& state, const std::string& decoded_name)
    REQUIRES(state.chat_lock());

// Chat lock held. Index of the user of `room` named `name` (case-blind) whose
// key the request's password value matches; nullopt when there is none or
// the key does not match.
std::optional<int> find_keyed_user(const ChatState& state, int room, const std::string& name,
                    const std::string& password_in_address) REQUIRES(state.chat_lock());

}  // namespace tvl
