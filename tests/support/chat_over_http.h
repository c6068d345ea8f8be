// The chat as the suites that run a real server see it: rooms guests may
// enter, and the chat window's requests over loopback, each on a fresh
// connection.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "storage/room_store.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl::test {

inline RoomInfo open_room(const char* name) {
  RoomInfo r;
  std::strncpy(r.name, name, sizeof r.name - 1);
  r.guest = true;
  return r;
}

// Every option that bounds what one address may do is off, since every
// visitor of these suites comes from 127.0.0.1.
inline constexpr char kOpenOptions[] =
    "[Server]\r\nSavelog=0\r\nMaxPlacesPerAddress=0\r\nMaxConnectionsPerAddress=0\r\nPostBurst=0\r\n";

// A program folder with the options, the rooms and the pages of the chat
// window, each page showing only what the suites read: the name and key of
// chat.htm, the lines of `body`. False when rooms.sdb cannot be written.
inline bool write_chat_window_folder(const TempDir& folder, const std::string& options,
                                     const std::vector<RoomInfo>& rooms,
                                     const std::string& body =
                                         "<body><script><!--$msg--></script></body>") {
  folder.write("users/.keep", "");
  folder.write("option.ini", options);
  folder.write("chat.htm", "chat:<!--$user-->|<!--$pass-->|");
  folder.write("chatsubmit.htm", "form");
  folder.write("users.htm", "users");
  folder.write("body.htm", body);
  return write_room_file(folder.path(), rooms);
}

inline std::string chat_get(int port, const std::string& path, int timeout_ms) {
  return http_exchange(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", timeout_ms);
}

// The form the chat window posts; `to` and `whisper` make a private line.
inline std::string chat_post(int port, const std::string& query, const std::string& message,
                             int timeout_ms, const std::string& to = "All", bool whisper = false) {
  const std::string body = "message=" + message + "&chat_flag=1&mtowho=" + to +
                           "&mfilters=0&mfont=-1&mfcolor=1&elist=0&seltype=0" +
                           (whisper ? "&mqqsay=on" : "") + "&msg=";
  return http_exchange(port,
                       "POST /chatsubmit.ghp" + query +
                           " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body,
                       timeout_ms);
}

}  // namespace tvl::test
