// Who administers a room: the room's administrator text (for example
// "ann;bob" or "ann, bob") holds whole user names separated by commas,
// semicolons or blanks. A name is an administrator when it stands in that
// text between two separators or the text's ends; a part of a name ("dmi" in
// "admin") is not. Letter case is ignored like everywhere names are compared
// with accounts ("Ann" and "ann" are one account). Used for rooms that only
// administrators may enter and for the room commands (ban, unban, list).
// Thread safety: pure function.
#pragma once
#include <string>
#include <string_view>

namespace tvl {

bool is_room_administrator(std::string_view admin_text, const std::string& name);

}  // namespace tvl
