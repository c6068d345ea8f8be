// The operator's commands (tvlctl) as one implementation, run either inside
// a running server, tvlService or the Tavella window (which then is the
// only writer of its files and sees every change at once), or by tvlctl
// itself on the files of a program folder when no server runs. Every rule and message is the one of the
// window's pages (chat/operator_rules.h) and of the storage layer.
//
// Commands (args as typed after the global options):
//   user add NAME --password-stdin [--email E] [--disabled yes|no]
//            [--sex 0|1|2] [--icon FILE] [--profile TEXT]
//   user list [--json]            user show NAME [--json]
//   user set NAME [--password-stdin] [--email E] [--disabled yes|no] ...
//   user rename OLD NEW           user del NAME
//   room add NAME [--admins a,b] [--guests yes|no] [--admins-only yes|no]
//   room list [--json]            room set N [--name X] [--admins ...] ...
//   room del N                    (N: the room's number, 1 = first)
//   online [--json]               kick NAME            ban ROOM NAME
//     (one row a visitor: name, room, address, "idle N s", "since" and the
//     local time of the join as "2026-12-09 02:31:05", "banned" when so;
//     --json gives "online_since" as ISO 8601 in UTC, "2026-12-09T02:31:05Z")
//   reload
// The password is the first line of `input` (the caller reads standard
// input or prompts). Exit status: 0 done, 1 refused or failed (a message on
// err, nothing changed), 2 a usage error.
//
// Wire format of tvlctl <-> tvlService (the control socket): texts are
// "<decimal length>\n<bytes>".
//   request: "tvlctl 1\n", the program folder, the argument count as a
//            text, each argument, the input
//   answer:  the exit status as a text, out, err
// Thread safety: run_operator_command with an engine runs on the thread
// that owns the engine (the service thread, the window's user-interface
// thread); the codecs are pure.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace tvl {

class ChatEngine;

struct CommandResult {
  int exit_code = 0;
  std::string out, err;
};

struct CommandRequest {
  std::string folder;  // the program folder, ending in "/"
  std::vector<std::string> args;
  std::string input;
};

// The exit status an answer carries when the running server serves another
// program folder than the request names: the caller works on the files.
constexpr int kOtherFolderStatus = 125;

std::string encode_request(const CommandRequest& request);
[[nodiscard]] bool decode_request(const std::string& data, CommandRequest& request);
std::string encode_result(const CommandResult& result);
[[nodiscard]] bool decode_result(const std::string& data, CommandResult& result);

// What the commands act on.
struct OperatorTarget {
  std::string program_folder;  // ends in "/"
  ChatEngine* engine = nullptr;  // the running chat; null: the files alone
  // Reads the options, the IP lists and the rooms again (running server
  // only); false when the server could not listen again. Empty for a server
  // that reloads only by its own means (the window): reload is refused.
  std::function<bool()> reload;
};

CommandResult run_operator_command(const std::vector<std::string>& args, const std::string& input,
                                   const OperatorTarget& target);

// The usage text of tvlctl, ending in a line end.
std::string tvlctl_usage();

// A JSON string literal of a byte string (control bytes as \u00XX, bytes
// above 127 passed through).
std::string json_string(const std::string& text);

}  // namespace tvl
