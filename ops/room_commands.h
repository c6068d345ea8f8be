// "tvlctl room ...": the rooms of rooms.sdb with the rules and messages of
// the window's Rooms page (chat/operator_rules.h). A room is named by its
// number, 1 = the first in the file's order.
//   room add NAME [--admins a,b] [--guests yes|no] [--admins-only yes|no]
//   room list [--json]            room set N [--name X] [--admins ...] ...
//   room del N
// A running chat reads its rooms again after every change.
// Thread safety: on the thread that owns the target's engine; the reload
// takes the chat lock.
#pragma once
#include <string>
#include <vector>

#include "ops/command_result.h"
#include "ops/operator_target.h"

namespace tvl {

// args[0] is "room".
CommandResult room_command(const std::vector<std::string>& args, const OperatorTarget& target);

}  // namespace tvl
