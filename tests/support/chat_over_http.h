// The chat as the suites that run a real server see it: rooms guests may
// enter, and the chat window's requests over loopback, each on a fresh
// connection.
#pragma once
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "chat/engine.h"
#include "storage/room_store.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl::test {

inline RoomInfo open_room(const char* name) { return room_info(name); }

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

// The query of the place `answer` (a chat.htm of write_chat_window_folder)
// gave `name` in `room`; empty when the answer is no such page.
inline std::string place_query(const std::string& answer, const std::string& name, int room) {
  const std::string mark = "chat:" + name + "|";
  const std::size_t at = answer.find(mark);
  if (at == std::string::npos) return std::string();
  const std::size_t key_at = at + mark.size();
  return "?username=" + name + "&password=" +
         answer.substr(key_at, answer.find('|', key_at) - key_at) + "&room=" + std::to_string(room);
}

inline std::string chat_get(int port, const std::string& path, int timeout_ms) {
  return http_exchange(port, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", timeout_ms);
}

// Loads `engine` from a folder of write_chat_window_folder with the rooms One
// and Two open to guests, lets `tune` set its context (no first poll delay
// unless it says otherwise) and starts it on a port the system chooses: that
// port, or 0 when it could not start.
inline int start_two_room_chat(ChatEngine& engine, const TempDir& folder,
                               const std::function<void(ChatContext&)>& tune) {
  if (!write_chat_window_folder(folder, kOpenOptions, {open_room("One"), open_room("Two")}))
    return 0;
  engine.load(folder.path());
  ChatContext& ctx = engine.pages().context();
  ctx.first_poll_delay_ms = 0;
  tune(ctx);
  engine.server().set_any_port(true);
  return engine.start(0) == 1 ? engine.server().port() : 0;
}

// Enters `room` as the guest `name` on a folder of write_chat_window_folder
// and takes the history: the query of the place, empty when it was refused.
inline std::string enter_place(int port, const std::string& name, int room, int timeout_ms) {
  const std::string query = place_query(
      chat_get(port,
               "/chat.ghp?username=" + name + "&password=&room=" + std::to_string(room) + "&sex=1",
               timeout_ms),
      name, room);
  if (!query.empty()) chat_get(port, "/body.ghp" + query, timeout_ms);
  return query;
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
