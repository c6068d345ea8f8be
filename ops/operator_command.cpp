#include "ops/operator_command.h"

#include "ops/live_commands.h"
#include "ops/room_commands.h"
#include "ops/user_commands.h"
#include "platform/fs.h"

namespace tvl {

CommandResult run_operator_command(const std::vector<std::string>& args, const std::string& input,
                                   const OperatorTarget& target) {
  if (args.empty()) return usage_error("a command is missing");
  const std::string& command = args[0];
  // A change the files cannot take is refused as what it is, before any
  // rule could mistake it for a bad name.
  const bool change = args.size() > 1 && args[1] != "list" && args[1] != "show";
  if (change && command == "user") {
    const std::string users = target.program_folder + "users/";
    if (!is_directory(users) || !is_writable(users))
      return command_refused("cannot write " + users + ": the folder is missing or read-only");
  }
  if (change && command == "room" && !is_writable(target.program_folder + "rooms.sdb"))
    return command_refused("cannot write " + target.program_folder +
                           "rooms.sdb: the file is missing or read-only");
  if (command == "user") return user_command(args, input, target);
  if (command == "room") return room_command(args, target);
  if (command == "online") return online_command(args, target);
  if (command == "kick") return kick_command(args, target);
  if (command == "ban") return ban_command(args, target);
  if (command == "guests") return guests_command(args, target);
  if (command == "reload") return reload_command(args, target);
  return usage_error("unknown command \"" + command + "\"");
}

std::string tvlctl_usage() {
  return "Usage: tvlctl [--folder DIR] COMMAND ...\n"
         "The operator's command for the chat in DIR (default: the folder tvlctl is in).\n"
         "A running tvlService or Tavella window of that folder makes every change\n"
         "itself, at once; without one the files are changed directly.\n"
         "\n"
         "  user add NAME [--password-stdin] [--email E] [--disabled yes|no]\n"
         "                [--sex 0|1|2] [--icon FILE] [--profile TEXT]\n"
         "  user list [--json]          user show NAME [--json]\n"
         "  user set NAME [--password-stdin] [--email E] [--disabled yes|no] ...\n"
         "  user rename OLD NEW         user del NAME\n"
         "  room add NAME [--admins a,b] [--guests yes|no] [--admins-only yes|no]\n"
         "  room list [--json]          room set N [--name X] [--admins a,b] ...\n"
         "  room del N                  (N: the number room list shows)\n"
         "  online [--json]             who is in which room, from which address, since when\n"
         "  kick NAME                   takes NAME out of the chat\n"
         "  ban ROOM NAME [--for TIME]  NAME may no longer post in room number ROOM\n"
         "                              (TIME: 30m, 1h, 2d; the ban then ends by itself)\n"
         "  guests close|open [ROOM]    closes or opens guest entry for the whole chat\n"
         "                              or room number ROOM; members still enter\n"
         "  log [--follow]              today's chat log (with [Cluster]: every node's, from Redis)\n"
         "  check                       what is wrong in the folder (option.ini, rooms.sdb,\n"
         "                              private files); starts and changes nothing\n"
         "  reload                      read option.ini, the IP lists and the rooms again\n"
         "  cluster status              the nodes sharing the chat ([Cluster] of option.ini),\n"
         "                              their visitors, and whether Redis is reachable\n"
         "  cluster import              this folder's users/ and rooms.sdb into the cluster\n"
         "                              (what the cluster holds already stays)\n"
         "  cluster export              the cluster's accounts and rooms into this folder's\n"
         "                              users/ and rooms.sdb\n"
         "\n"
         "Without --password-stdin the password is asked for on the terminal.\n"
         "Exit status: 0 done, 1 refused or failed (the reason on standard error,\n"
         "nothing changed), 2 wrong usage.\n";
}

}  // namespace tvl
