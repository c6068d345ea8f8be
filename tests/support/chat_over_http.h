// The chat as the suites that run a real server see it: rooms guests may
// enter, and the chat window's requests over loopback, each on a fresh
// connection.
#pragma once
#include <cstring>
#include <string>

#include "storage/room_store.h"
#include "tests/support/test_util.h"

namespace tvl::test {

inline RoomInfo open_room(const char* name) {
  RoomInfo r;
  std::strncpy(r.name, name, sizeof r.name - 1);
  r.guest = true;
  return r;
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
