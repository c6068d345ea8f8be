// "tvlctl user ...": the accounts of users/ with the rules and messages of
// the window's Users page (chat/operator_rules.h, storage/account.h).
//   user add NAME --password-stdin [--email E] [--disabled yes|no]
//            [--sex 0|1|2] [--icon FILE] [--profile TEXT]
//   user list [--json]            user show NAME [--json]
//   user set NAME [--password-stdin] [--email E] [--disabled yes|no] ...
//   user rename OLD NEW           user del NAME
// The password is the first line of `input`.
// Thread safety: reads and writes account files; no chat lock.
#pragma once
#include <string>
#include <vector>

#include "ops/command_result.h"
#include "ops/operator_target.h"

namespace tvl {

// args[0] is "user".
CommandResult user_command(const std::vector<std::string>& args, const std::string& input,
                           const OperatorTarget& target);

}  // namespace tvl
