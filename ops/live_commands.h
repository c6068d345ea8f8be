// The commands on the running chat (live moderation and reload):
//   online [--json]   one row a visitor: name, room, address, "idle N s",
//                     "since" and the local time of the join as
//                     "2026-12-09 02:31:05", "banned" when so; --json gives
//                     "online_since" as ISO 8601 in UTC, "2026-12-09T02:31:05Z"
//   kick NAME         takes every place of NAME out of the chat
//   ban ROOM NAME     the room's ban (chat/room_ban.h), as its administrators
//                     give it with the input form; --for 30m|1h|2d ends it
//                     by itself then
//   guests close|open [ROOM]
//                     closes or opens guest entry (chat/account_guard.h
//                     GuestEntry) for the whole chat or room number ROOM;
//                     opening the whole chat opens every room as well
//   reload            the options, the IP lists and the rooms read again
// Without a running chat (target.engine null) online and reload say so and
// succeed; kick, ban and guests are refused.
// Thread safety: on the thread that owns the target's engine; the commands
// take the chat lock.
#pragma once
#include <string>
#include <vector>

#include "ops/command_result.h"
#include "ops/operator_target.h"

namespace tvl {

// args[0] is the command's word.
CommandResult online_command(const std::vector<std::string>& args, const OperatorTarget& target);
CommandResult kick_command(const std::vector<std::string>& args, const OperatorTarget& target);
CommandResult ban_command(const std::vector<std::string>& args, const OperatorTarget& target);
CommandResult guests_command(const std::vector<std::string>& args, const OperatorTarget& target);
CommandResult reload_command(const std::vector<std::string>& args, const OperatorTarget& target);

}  // namespace tvl
