// The operator's commands (tvlctl) as one implementation, run either inside
// a running server, tvlService or the Tavella window (which then is the
// only writer of its files and sees every change at once), or by tvlctl
// itself on the files of a program folder when no server runs. Every rule
// and message is the one of the window's pages (chat/operator_rules.h), of
// the storage layer and of the chat's room commands (chat/room_ban.h).
//
// The commands, one file each by job:
//   user ...   the accounts          ops/user_commands.h
//   room ...   the rooms             ops/room_commands.h
//   online, kick, ban, reload        ops/live_commands.h
// Their arguments: ops/command_args.h; their wire form between tvlctl and a
// running server: ops/command_wire.h; their JSON: ops/json_text.h.
// The password is the first line of `input` (the caller reads standard
// input or prompts). Exit status: 0 done, 1 refused or failed (a message on
// err, nothing changed), 2 a usage error.
// Thread safety: run_operator_command with an engine runs on the thread
// that owns the engine (the service thread, the window's user-interface
// thread).
#pragma once
#include <string>
#include <vector>

#include "ops/command_result.h"
#include "ops/operator_target.h"

namespace tvl {

CommandResult run_operator_command(const std::vector<std::string>& args, const std::string& input,
                                   const OperatorTarget& target);

// The usage text of tvlctl, ending in a line end.
std::string tvlctl_usage();

}  // namespace tvl
