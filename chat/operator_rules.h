// The operator's rules for accounts and rooms and their messages, shared by
// the window's Users and Rooms pages and the command line tvlctl, so that
// both refuse the same things with the same words.
// Thread safety: plain functions; room_values_refusal reads rooms.sdb.
#pragma once
#include <string>

#include "storage/account.h"
#include "storage/room_store.h"

namespace tvl {

extern const char kAccountExistsMessage[];  // "This username already exist!"
extern const char kAccountNameMessage[];    // "invalid character in Username !"

// The chat pages' rule for user names (they refuse a raw "&" in the address
// before decoding; a typed name refuses it as a character). A name that
// passes can be a file in users/ and shows safely on every page.
bool member_name_allowed(const std::string& name);

// Why an account change was not written; nullptr for Written. A failed
// write is told as the bad name it mostly is, as the Users page always did.
const char* account_change_message(AccountChange change);

// Empty when a room with these values may be stored in the room file of
// program_folder, else the message: an empty name, a text longer than its
// record field (it would be cut without a word, and the room would show and
// admit something else than what was typed), or a control byte (a line
// break would break the start page's script and table lines).
std::string room_values_refusal(const std::string& program_folder, const RoomValues& values);

}  // namespace tvl
