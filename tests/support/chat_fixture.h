// A chat without sockets for the page tests: a temporary program folder with
// users/, small templates, three rooms, and verbs that join, poll, post and
// leave the way the browser's frames do.
//   room 1 "Lobby":   guests welcome
//   room 2 "Members": members only; administrators "joanna;boris"
//   room 3 "Staff":   administrators only ("boss")
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "chat/chat_pages.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl::test {

// The texts kept in a room's ring, oldest first.
inline std::vector<std::string> kept_texts(ChatState& state, int room) {
  ChatState::Hold hold(state);
  const RoomMessages& r = state.ring(room);
  std::vector<std::string> texts;
  for (int p = 0; p < r.kept(); ++p) texts.push_back(r.text(p));
  return texts;
}

struct ChatEvent {
  std::string address, time, text;
  int seq_at_log;  // the room ring's seq when the event was logged
};

// One post of the input form.
struct PostForm {
  std::string message = "hi";
  std::string to = "All";
  int command = 0;
  int style = 0;
  int colour = 1;
  int face = 0;
  bool split = false;
  bool private_line = false;
};

class ChatFixture : public ::testing::Test {
 protected:
  ChatFixture() {
    site.program_folder = folder.path();
    // Every verb joins and posts from one address at the speed of the code:
    // no bound per visitor unless a test sets its own.
    site.settings.post_burst = 0;
    site.settings.max_places_per_address = 0;
    folder.write("users/.keep", "");
    site.templates[T_CHAT].set("chat:<!--$user-->|<!--$pass-->|<!--$room-->");
    site.templates[T_CHATSUBMIT].set("form:<!--$user-->|<!--$pass-->|<!--$room-->");
    site.templates[T_BODY].set("<body>[<!--$user-->|<!--$pass-->|<!--$room-->]<script><!--$msg--></script>");
    state.replace_rooms({room_info("Lobby"), room_info("Members", false, false, "joanna;boris"),
                         room_info("Staff", true, true, "boss")});
  }


  // An account file; `more` holds further "key=value\r\n" lines.
  void member(const std::string& name, const std::string& password, const std::string& more = "") {
    folder.write("users/" + name, "[main]\r\npassword=" + password + "\r\n" + more);
  }

  static std::string room_query(const std::string& name, const std::string& password, int room) {
    return "?username=" + name + "&password=" + password + "&room=" + std::to_string(room);
  }

  // chat.ghp; "<declined>" when the handler declines. Remembers the key of
  // the place (the guest's random key, or the member's password) for the
  // verbs below.
  std::string join(const std::string& name, int room, const std::string& password = "",
                   int sex = 1) {
    std::string out;
    const std::string path = "/chat.ghp" + room_query(name, password, room) + "&sex=" + std::to_string(sex);
    if (!page_chat(ctx, "10.0.0.7", path, out)) return "<declined>";
    const OnlineUser place = user(name, room);
    if (place.room == room) keys[key_slot(name, room)] = place.key;
    return out;
  }

  // The password value the chat window's pages carry for a user: the key of
  // the place as handed out at the last join (empty for a name that never
  // joined the room).
  std::string key_of(const std::string& name, int room) {
    auto it = keys.find(key_slot(name, room));
    return it == keys.end() ? std::string() : it->second;
  }
  static std::string key_slot(const std::string& name, int room) {
    std::string slot = name;
    for (char& c : slot) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return slot + "#" + std::to_string(room);
  }
  // Stands for "the key the pages carry" as a verb's password.
  static constexpr const char* kOwnKey = "\x01own-key";
  std::string password_for(const std::string& name, int room, const std::string& password) {
    return password == kOwnKey ? key_of(name, room) : password;
  }

  std::string poll(const std::string& name, int room, const std::string& password = kOwnKey) {
    std::string out;
    return page_body(ctx, "/body.ghp" + room_query(name, password_for(name, room, password), room), out)
               ? out
               : "<declined>";
  }

  // exit.ghp.
  std::string leave(const std::string& name, int room, const std::string& password) {
    std::string out;
    EXPECT_TRUE(page_exit(ctx, "10.0.0.9", "/exit.ghp" + room_query(name, password, room), out));
    return out;
  }

  // Form encoding as browsers do it ("+" for blanks).
  static std::string encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
      if (c == ' ') out += '+';
      else if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') out += static_cast<char>(c);
      else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
    return out;
  }

  static std::string post_request(const std::string& query, const PostForm& f) {
    std::string body = "message=" + encode(f.message) + "&chat_flag=1&mtowho=" + encode(f.to) +
                       "&mfilters=" + std::to_string(f.command) + "&mfont=" + std::to_string(f.style) +
                       "&mfcolor=" + std::to_string(f.colour) + "&elist=" + std::to_string(f.face) +
                       "&seltype=0&msg=";
    if (f.split) body += "&msplit=on";
    if (f.private_line) body += "&mqqsay=on";
    return "POST /chatsubmit.ghp" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }

  std::string post(const std::string& name, int room, const PostForm& f = PostForm(),
                   const std::string& password = kOwnKey) {
    std::string out;
    chat_post(ctx, "10.0.0.8",
              post_request(room_query(encode(name), password_for(name, room, password), room), f),
              out);
    return out;
  }

  // The texts kept in a room's ring, oldest first, and their addressees.
  std::vector<std::string> kept(int room) { return kept_texts(state, room); }
  std::string last_line(int room) {
    auto texts = kept(room);
    return texts.empty() ? std::string() : masked(texts.back());
  }
  std::string last_addressee(int room) {
    ChatState::Hold hold(state);
    const RoomMessages& r = state.ring(room);
    return r.kept() == 0 ? std::string() : r.to_whom(r.kept() - 1);
  }
  int seq(int room) {
    ChatState::Hold hold(state);
    return state.ring(room).seq;
  }
  int online() {
    ChatState::Hold hold(state);
    return state.online_count();
  }
  // A copy of the online entry, or an empty one (room 0) when not online.
  OnlineUser user(const std::string& name, int room) {
    ChatState::Hold hold(state);
    const std::optional<int> i = state.find_online_user(room, name);
    return i ? state.user(*i) : OnlineUser{};
  }

  // Replaces every guest key (32 lower-case hex digits) by "<key>".
  static std::string keyless(const std::string& text) {
    static const std::regex key("[0-9a-f]{32}");
    return std::regex_replace(text, key, "<key>");
  }

  // Replaces every "HH:MM:SS" by "TT:TT:TT" so lines compare.
  static std::string masked(const std::string& text) {
    static const std::regex time("[0-9]{2}:[0-9]{2}:[0-9]{2}");
    return std::regex_replace(text, time, "TT:TT:TT");
  }

  std::map<std::string, std::string> keys;  // key_slot -> key of the place
  TestEnvironment env;
  TempDir folder;
  SiteData site;
  ChatState state;
  std::vector<ChatEvent> events;
  ChatContext ctx{site, state,
                  [this](const std::string& address, const std::string& time, const std::string& text) {
                    // Called with the chat lock held; the last pushed ring tells
                    // whether the event came before its push.
                    state.assert_held();
                    int seq_now = 0;
                    for (int r = 1; r <= state.room_count_locked(); ++r) seq_now += state.ring(r).seq;
                    events.push_back({address, time, text, seq_now});
                  },
                  0};
};

}  // namespace tvl::test
