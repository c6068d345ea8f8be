// tvlctl: the operator's command line for the chat of one program folder
// (the folder it stands in, or --folder). While a tvlService or a Tavella
// window of that folder serves the chat, the request goes to it through the
// control socket of the state folder and the server makes the change
// itself, so it sees it at once and stays the only writer of its files;
// otherwise the files are changed here with the same functions, under the
// program folder's lock, which a server that does not answer still holds:
// then nothing is done.
// ops/operator_command.h lists the commands.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cluster/cluster_move.h"
#include "cluster/node_registry.h"
#include "cluster/shared_accounts.h"
#include "cluster/shared_rooms.h"
#include "cluster/shared_log.h"
#include "ops/command_wire.h"
#include "ops/control_server.h"
#include "ops/operator_command.h"
#include "ops/terminal_text.h"
#include "platform/control_socket.h"
#include "platform/folder_lock.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "platform/terminal.h"
#include "storage/chat_log.h"
#include "storage/folder_check.h"

namespace {

using namespace tvl;

// Answers of a running server may take as long as a reload.
constexpr int kAnswerTimeoutMs = 60000;
constexpr std::size_t kMaxAnswerBytes = 64u << 20;

void write_out(const std::string& text, std::FILE* stream) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

int finish(const CommandResult& r) {
  write_out(r.out, stdout);
  write_out(r.err, stderr);
  return r.exit_code;
}

int usage_mistake(const std::string& text) { return finish(usage_error(text)); }

bool has(const std::vector<std::string>& args, const char* word) {
  for (const std::string& a : args)
    if (a == word) return true;
  return false;
}

// The path of today's chat log, where the server writes it.
std::string todays_log(const std::string& folder) { return chat_log_file(folder, std::time(nullptr)); }

// Reading the log goes by pieces of this size: memory stays the same
// whatever the file's size.
constexpr std::size_t kLogPiece = 64 * 1024;

// Prints the whole rows of `path` from byte `from` on, escaped for the
// terminal (a visitor's text never acts as a control); returns the offset
// after the last row printed. A row still being written waits for its end.
// A file shorter than `from` was replaced: it is printed from its start.
long long print_rows(const std::string& path, long long from) {
  for (;;) {
    std::string piece;
    long long size = 0;
    if (!read_file_part(path, from, kLogPiece, piece, &size)) return from;
    if (size < from) {
      from = 0;
      continue;
    }
    const std::size_t end = piece.rfind('\n');
    // Rows are far shorter than a piece; a piece without a line end is the
    // unfinished last row (or not a log at all: then it is shown as it is).
    const std::size_t take = end != std::string::npos ? end + 1
                             : piece.size() == kLogPiece ? piece.size()
                                                         : 0;
    if (take == 0) return from;
    write_out(terminal_lines(piece.substr(0, take)), stdout);
    from += static_cast<long long>(take);
  }
}

// Prints today's log; with follow, goes on printing what is added (and the
// next day's file after midnight) until the process is ended. Only what was
// added is read, a piece at a time.
// With [Cluster]: today's rows of the cluster's log (every node's events),
// and with follow what is added, from Redis.
int show_shared_log(const std::string& folder, bool follow) {
  const std::string ini = folder + "option.ini";
  const std::string redis = get_profile_string("Cluster", "Redis", "", 256, ini);
  RedisAddress address;
  if (!parse_redis_address(redis, address))
    return finish({1, "", "tvlctl: [Cluster] Redis=" + redis + " is neither host:port nor a socket path\n"});
  RedisPool pool(address, get_profile_string("Cluster", "RedisPassword", "", 256, ini), 2000);
  std::time_t now = std::time(nullptr);
  std::tm midnight{};
  localtime_r(&now, &midnight);
  midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
  std::string from = std::to_string(static_cast<long long>(std::mktime(&midnight)) * 1000);
  for (;;) {
    std::string rows, last;
    Reason why;
    if (!read_shared_log(pool, from, 1000, rows, last, why))
      return finish({1, "", "tvlctl: " + terminal_text(why.text) + "\n"});
    write_out(terminal_lines(rows), stdout);
    if (!last.empty()) from = "(" + last;
    else if (!follow) return 0;
    else std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

int show_log(const std::string& folder, const std::vector<std::string>& args) {
  bool follow = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--follow" || args[i] == "-f") follow = true;
    else return usage_mistake("unknown option \"" + args[i] + "\"");
  }
  if (!get_profile_string("Cluster", "Redis", "", 256, folder + "option.ini").empty())
    return show_shared_log(folder, follow);
  std::string path = todays_log(folder);
  if (!is_regular_file(path) && !follow)
    return finish({0, "", "tvlctl: no chat log today (" + path + "); Savelog=1 in option.ini keeps one\n"});
  long long shown = print_rows(path, 0);
  while (follow) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string now_path = todays_log(folder);
    if (now_path != path) {
      // The rest of the old day first, then the new day from its start.
      (void)print_rows(path, shown);
      path = now_path;
      shown = 0;
    }
    shown = print_rows(path, shown);
  }
  return 0;
}

// Reads the folder and says what is wrong, starting and changing nothing.
int check_folder(const std::string& folder, const std::vector<std::string>& args) {
  if (args.size() > 1) return usage_mistake("check takes no arguments");
  const std::vector<std::string> problems = check_program_folder(folder);
  if (problems.empty()) return finish({0, "nothing wrong in " + folder + "\n", ""});
  std::string err;
  for (const std::string& p : problems) err += "tvlctl: " + p + "\n";
  return finish({1, "", err});
}

// The folder's [Cluster] section: `redis` empty when it has none. False
// (with the message in `failed`) when Redis= is malformed.
struct FolderCluster {
  std::string redis, password;
  RedisAddress address;
};
bool read_cluster(const std::string& folder, FolderCluster& c, CommandResult& failed) {
  const std::string ini = folder + "option.ini";
  c.redis = get_profile_string("Cluster", "Redis", "", 256, ini);
  c.password = get_profile_string("Cluster", "RedisPassword", "", 256, ini);
  if (c.redis.empty() || parse_redis_address(c.redis, c.address)) return true;
  failed = {1, "", "tvlctl: [Cluster] Redis=" + c.redis + " is neither host:port nor a socket path\n"};
  return false;
}

// "cluster status|import|export": asks Redis of the folder's [Cluster]
// section directly, so that it answers whether or not a server of this
// folder runs.
int cluster_command(const std::string& folder, const std::vector<std::string>& args) {
  const bool known = args.size() == 2 && (args[1] == "status" || args[1] == "import" || args[1] == "export");
  if (!known) return usage_mistake("cluster takes one command: status, import or export");
  FolderCluster c;
  CommandResult failed;
  if (!read_cluster(folder, c, failed)) return finish(failed);
  if (c.redis.empty())
    return finish({args[1] == "status" ? 0 : 1,
                   "no cluster: option.ini has no [Cluster] Redis=; this server is the whole chat\n", ""});
  if (args[1] == "status") {
    RedisLink link(c.address, c.password, 2000);
    std::string text;
    const bool reachable = cluster_status_text(link, static_cast<long long>(std::time(nullptr)), text);
    return finish({reachable ? 0 : 1, terminal_lines(text), ""});
  }
  RedisPool pool(c.address, c.password, 2000);
  std::string report;
  Reason why;
  const bool moved = args[1] == "import" ? import_into_cluster(pool, folder, report, why)
                                         : export_from_cluster(pool, folder, report, why);
  return finish({moved ? 0 : 1, terminal_lines(report),
                 moved ? "" : "tvlctl: " + terminal_text(why.text) + "\n"});
}

// The folder as given, absolute and ending in "/".
std::string folder_of(const std::string& given) {
  std::string f = given;
  if (f.empty()) return f;
  if (f[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd)) f = std::string(cwd) + "/" + f;
  }
  if (f.back() != '/') f += '/';
  return f;
}

// The command line: the folder (given or the program's) and the command's
// words. An exit status when that is all there is to do (help, a mistake).
std::optional<int> read_command_line(int argc, char** argv, std::string& folder,
                                     std::vector<std::string>& args) {
  folder = program_folder();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (args.empty() && (a == "--help" || a == "-h")) {
      write_out(tvlctl_usage(), stdout);
      return 0;
    }
    if (args.empty() && a == "--folder") {
      if (i + 1 >= argc) return usage_mistake("option --folder needs a value");
      folder = folder_of(argv[++i]);
      continue;
    }
    if (args.empty() && a.compare(0, 9, "--folder=") == 0) {
      folder = folder_of(a.substr(9));
      continue;
    }
    if (args.empty() && a.size() > 1 && a[0] == '-') return usage_mistake("unknown option \"" + a + "\"");
    args.push_back(a);
  }
  if (args.empty()) return usage_mistake("a command is missing");
  if (!is_directory(folder)) return finish({1, "", "tvlctl: no program folder " + folder + "\n"});
  return std::nullopt;
}

// The password of "user add" and "user set": from standard input, or asked
// for twice on the terminal. An exit status when it cannot be had.
std::optional<int> read_password(std::vector<std::string>& args, std::string& input) {
  const bool user_write = args[0] == "user" && args.size() > 1 && (args[1] == "add" || args[1] == "set");
  if (user_write && has(args, "--password-stdin")) {
    input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else if (user_write && args[1] == "add" && args.size() > 2) {
    std::string first, second;
    if (!read_hidden_line("Password: ", first) || !read_hidden_line("Again: ", second))
      return usage_mistake("no terminal to ask for the password: give it with --password-stdin");
    if (first != second) return finish({1, "", "tvlctl: the two passwords differ\n"});
    input = first + "\n";
    args.push_back("--password-stdin");
  }
  return std::nullopt;
}

// The command handed to the server that listens on the control socket: its
// exit status, or none when no server answered or the one that did serves
// another folder.
std::optional<int> hand_to_server(const CommandRequest& request, const std::string& socket_path) {
  int server = -1;
  if (reach_control(socket_path, server) == ControlReach::Refused) {
    // A server runs, as another user: changing its files behind it would
    // be lost or undone, and "no server" would not be true.
    return finish({1, "",
                   "tvlctl: permission denied on the control socket " + socket_path +
                       " of the running server: run tvlctl as the server's user (or root)\n"});
  }
  if (server < 0) return std::nullopt;
  std::string answer;
  CommandResult result;
  const bool exchanged = send_request(server, encode_request(request)) &&
                         receive_all(server, answer, kMaxAnswerBytes, kAnswerTimeoutMs) &&
                         decode_result(answer, result);
  close_control(server);
  if (!exchanged)
    return finish({1, "", "tvlctl: the running server did not answer; nothing is known to be changed\n"});
  if (result.exit_code != kOtherFolderStatus) return finish(result);
  return std::nullopt;  // the running server serves another folder: this one is only files
}

// The command run here, on the folder's files, or on the cluster's
// accounts and rooms in Redis when the folder is a cluster node's.
int run_here(const CommandRequest& request, const std::string& socket_path) {
  const std::string& folder = request.folder;
  const std::vector<std::string>& args = request.args;
  // No server answered; one may still serve the folder (its socket removed,
  // or in another state folder). It holds the folder's lock then, and its
  // files are not changed behind it. Held shared until the end, so that a
  // server starting meanwhile waits for this change.
  FolderLock folder_lock;
  if (folder_lock.take(folder, FolderLock::Mode::Shared, 0) == FolderLock::Outcome::Busy)
    return finish({1, "",
                   "tvlctl: a server serves " + folder + " but does not answer on the control socket " +
                       socket_path +
                       " (it may use another state folder, TAVELLA_STATE_DIR): nothing is changed\n"});
  OperatorTarget target;
  target.program_folder = folder;
  // A node of a cluster keeps its accounts and rooms in Redis, also while
  // its server is stopped: the folder's files are not the chat's then.
  FolderCluster c;
  CommandResult failed;
  std::shared_ptr<RedisPool> pool;
  ChatState state;
  std::unique_ptr<SharedAccounts> accounts;
  std::unique_ptr<SharedRooms> rooms;
  if (args[0] == "user" || args[0] == "room") {
    if (!read_cluster(folder, c, failed)) return finish(failed);
  }
  if (!c.redis.empty()) {
    pool = std::make_shared<RedisPool>(c.address, c.password, 2000);
    accounts = std::make_unique<SharedAccounts>(pool);
    rooms = std::make_unique<SharedRooms>(pool, state);
    target.accounts = accounts.get();
    target.rooms = rooms.get();
  }
  return finish(run_operator_command(args, request.input, target));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  std::string folder;
  if (const std::optional<int> done = read_command_line(argc, argv, folder, args)) return *done;
  if (args[0] == "log") return show_log(folder, args);
  if (args[0] == "check") return check_folder(folder, args);
  if (args[0] == "cluster") return cluster_command(folder, args);
  std::string input;
  if (const std::optional<int> done = read_password(args, input)) return *done;
  const CommandRequest request{folder, args, input};
  const std::string socket_path = control_socket_path();
  if (const std::optional<int> done = hand_to_server(request, socket_path)) return *done;
  return run_here(request, socket_path);
}
