// Who administers a room: the room's administrator text (for example
// "ann;bob" or "ann, bob") holds whole user names separated by commas,
// semicolons or blanks. A name is an administrator when it stands in that
// text between two separators or the text's ends; a part of a name ("dmi" in
// "admin") is not. Names compare as accounts do (account_name_fold: "Ann"
// and "ann" are one account). Used for rooms that only administrators may
// enter and for the room commands (ban, unban, list).
//
// The names of administrator texts are reserved: only the operator makes
// their accounts, nobody registers them over the web and no guest enters
// under them or under a name that looks like one (is_reserved_name).
// Thread safety: pure function.
#pragma once
#include <string>
#include <string_view>

namespace tvl {

bool is_room_administrator(std::string_view admin_text, const std::string& name);

// Whether `name` (decoded) looks like one of the names of the text (equal
// confusable skeletons, account_name_skeleton).
bool is_reserved_name(std::string_view admin_text, const std::string& name);

}  // namespace tvl
