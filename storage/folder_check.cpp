#include "storage/folder_check.h"

#include <cstdio>

#include "platform/fs.h"
#include "storage/chat_log.h"
#include "storage/room_store.h"
#include "storage/settings.h"

namespace tvl {

namespace {

// A folder or file of private data that group or others may read.
void check_private(const std::string& path, std::vector<std::string>& problems) {
  const int mode = file_mode(path);
  if (mode >= 0 && (mode & 077) != 0) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode);
    problems.push_back(path + " may be read by other users (mode " + text +
                       "); the server makes it private at its start");
  }
}

}  // namespace

std::vector<std::string> check_program_folder(const std::string& program_folder) {
  std::vector<std::string> problems;
  ServerSettings settings;
  (void)check_settings_file(program_folder, settings, &problems);  // listed in problems

  std::vector<RoomInfo> rooms;
  RoomFileCheck rooms_check;
  if (!read_rooms(program_folder, rooms, &rooms_check) && !rooms_check.damaged && !rooms_check.busy)
    problems.push_back(program_folder + "rooms.sdb is missing: the chat has no rooms");
  else if (rooms_check.damaged || rooms_check.busy)
    problems.push_back(room_file_notice(rooms_check));

  const std::string users = program_folder + "users/";
  if (!is_directory(users)) {
    problems.push_back(users + " is missing: accounts cannot be made");
  } else {
    check_private(users, problems);
    for (const std::string& name : find_files(users + "*")) check_private(users + name, problems);
  }
  const std::string log = chat_log_folder(program_folder);
  if (is_directory(log)) {
    check_private(log, problems);
    for (const std::string& name : find_files(log + "*.txt")) check_private(log + name, problems);
  }
  return problems;
}

}  // namespace tvl
