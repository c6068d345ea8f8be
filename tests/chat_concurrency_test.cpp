// The whole chat under concurrent load over loopback: 200 users join, poll,
// post and leave at once in four rooms while the rooms are reloaded from the
// room file in between. Afterwards the online table is empty, every ring is
// well-formed, the log holds every join and leave, and nobody received a
// message twice. Also run under ThreadSanitizer by scripts/test.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "chat/chat_pages.h"
#include "chat/engine.h"
#include "platform/fs.h"
#include "tests/support/room_file.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

constexpr int kUsers = 200;
constexpr int kRooms = 4;
constexpr int kRounds = 3;
constexpr int kReloads = 10;
constexpr int kTimeoutMs = 20000;  // generous: ThreadSanitizer is slow

using test::open_room;

std::string get(int port, const std::string& path) { return test::chat_get(port, path, kTimeoutMs); }

std::string post(int port, const std::string& query, const std::string& message) {
  return test::chat_post(port, query, message, kTimeoutMs);
}

// Every "tok<user>_<n>" token in a text.
std::vector<std::string> tokens(const std::string& text) {
  std::vector<std::string> found;
  for (std::size_t at = text.find("tok"); at != std::string::npos; at = text.find("tok", at + 3)) {
    std::size_t end = at + 3;
    while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '_'))
      ++end;
    found.push_back(text.substr(at, end - at));
  }
  return found;
}

bool ok_answer(const std::string& answer) {
  return answer.compare(0, 5, "HTTP/") == 0 && answer.find(" 200 ") == answer.find(' ');
}

TEST(ChatConcurrency, TwoHundredUsersJoinPollPostAndLeaveWhileRoomsReload) {
  test::TestEnvironment env;
  test::TempDir folder;
  folder.write("users/.keep", "");
  // All 200 users come from 127.0.0.1: no bound on places per address.
  folder.write("option.ini", "[Server]\r\nSavelog=1\r\nMaxPlacesPerAddress=0\r\n");
  folder.write("chat.htm", "chat:<!--$user-->|<!--$pass-->|");
  folder.write("chatsubmit.htm", "form");
  folder.write("users.htm", "users");
  folder.write("body.htm", "<html><script><!--$msg--></script></html>");
  const std::vector<RoomInfo> rooms = {open_room("One"), open_room("Two"), open_room("Three"),
                                       open_room("Four")};
  ASSERT_TRUE(test::write_room_file(folder.path(), rooms));

  ChatEngine engine;
  engine.load(folder.path());
  ASSERT_EQ(engine.state().room_count(), kRooms);
  engine.server().set_any_port(true);
  ASSERT_EQ(engine.start(0), 1);
  const int port = engine.server().port();

  std::atomic<int> failures{0}, duplicates{0}, joined{0}, received{0}, workers_done{0}, reloads{0};
  std::mutex failure_lock;
  std::string first_failure;
  auto fail = [&](const std::string& what) {
    if (failures++ == 0) {
      std::lock_guard<std::mutex> hold(failure_lock);
      first_failure = what.substr(0, 300);
    }
  };

  std::vector<std::thread> workers;
  for (int u = 0; u < kUsers; ++u) {
    workers.emplace_back([&, u] {
      const std::string name = "t" + std::to_string(u);
      const int room = u % kRooms + 1;
      std::string query = "?username=" + name + "&password=&room=" + std::to_string(room);
      std::set<std::string> seen;
      auto take = [&](const std::string& answer) {
        if (!ok_answer(answer)) return fail(name + " poll: " + answer);
        for (const std::string& t : tokens(answer)) {
          ++received;
          if (!seen.insert(t).second) ++duplicates;
        }
      };

      std::string answer = get(port, "/chat.ghp" + query + "&sex=1");
      if (answer.find("chat:" + name + "|") == std::string::npos) {
        fail(name + " join: " + answer);
      } else {
        ++joined;
        // From now on the pages carry the key of the place.
        const std::size_t key_at = answer.find("chat:" + name + "|") + name.size() + 6;
        const std::string key = answer.substr(key_at, answer.find('|', key_at) - key_at);
        query = "?username=" + name + "&password=" + key + "&room=" + std::to_string(room);
        take(get(port, "/body.ghp" + query));
        for (int k = 0; k < kRounds; ++k) {
          answer = post(port, query, "tok" + std::to_string(u) + "_" + std::to_string(k));
          if (!ok_answer(answer)) fail(name + " post: " + answer);
          take(get(port, "/body.ghp" + query));
          std::this_thread::yield();
          take(get(port, "/body.ghp" + query));
        }
      }
      answer = get(port, "/exit.ghp" + query);
      if (answer.find("You have logged out the chat room successfully!") == std::string::npos)
        fail(name + " exit: " + answer);
      ++workers_done;
    });
  }

  // Room reloads in between, from the room file, while users come and go.
  std::thread reloader([&] {
    for (int i = 0; i < kReloads && workers_done < kUsers; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      load_rooms(folder.path(), engine.state());
      ++reloads;
    }
  });

  for (std::thread& t : workers) t.join();
  reloader.join();
  engine.stop();

  EXPECT_EQ(failures.load(), 0) << first_failure;
  EXPECT_EQ(joined.load(), kUsers);
  EXPECT_EQ(duplicates.load(), 0);
  EXPECT_GT(received.load(), 0);
  EXPECT_GT(reloads.load(), 0);

  ChatState& state = engine.state();
  ChatState::Hold hold(state);
  EXPECT_EQ(state.online_count(), 0);
  ASSERT_EQ(state.room_count_locked(), kRooms);
  for (int r = 1; r <= kRooms; ++r) {
    const RoomMessages& ring = state.ring(r);
    // The numbers count on from 0, or from kReloadedSeq when the last
    // reload found users online; every line pushed since is kept, in order.
    const int kept = ring.kept();
    EXPECT_LE(kept, std::min(ring.seq, RoomMessages::kMaxLines)) << "room " << r;
    EXPECT_GE(kept, std::min(ring.seq - RoomMessages::kReloadedSeq, RoomMessages::kMaxLines))
        << "room " << r;
    std::set<std::string> ring_tokens;
    for (int p = 0; p < kept; ++p) {
      EXPECT_EQ(ring.lines[p].seq, ring.seq - kept + 1 + p) << "room " << r;
      const std::string& text = ring.text(p);
      EXPECT_EQ(text.rfind("<div class=\"line", 0), 0u) << text;
      for (const std::string& t : tokens(text)) EXPECT_TRUE(ring_tokens.insert(t).second) << t;
    }
  }

  // Every join and every leave reached the day's log, each line whole.
  std::string log;
  for (const std::string& file : find_files(folder.path() + "log/*.txt")) {
    std::string day;
    ASSERT_TRUE(read_whole_file(folder.path() + "log/" + file, day));
    log += day;
  }
  int joins = 0, leaves = 0;
  for (std::size_t at = log.find(" joined the ["); at != std::string::npos;
       at = log.find(" joined the [", at + 1))
    ++joins;
  for (std::size_t at = log.find(" left the ["); at != std::string::npos; at = log.find(" left the [", at + 1))
    ++leaves;
  EXPECT_EQ(joins, kUsers);
  EXPECT_EQ(leaves, kUsers);
}

// Places time out while others join, poll, post and leave: every user who
// joined leaves exactly once, by exit.ghp or by the time-out, whichever comes
// first, and in the end the table is empty. In-process, on the real clock
// with a limit of a few milliseconds so that sweeps run all the time.
TEST(ChatConcurrency, PlacesTimeOutWhileOthersComeAndGo) {
  constexpr int kThreads = 6;
  constexpr int kJoinsEach = 150;
  SiteData site;
  // Every user comes from 10.0.0.1: no bound per address or place.
  site.settings.max_places_per_address = 0;
  site.settings.post_burst = 0;
  site.templates[T_BODY].set("<script><!--$msg--></script>");
  site.templates[T_CHAT].set("chat");
  site.templates[T_INDEX].set("<!--onlineusers-->");
  ChatState state;
  state.replace_rooms({open_room("One"), open_room("Two")});
  std::vector<std::string> joined, left;  // appended with the chat lock held
  ChatContext ctx{site, state, [&](const std::string&, const std::string&, const std::string& text) {
                    if (text.find(" joined the [") != std::string::npos)
                      joined.push_back(text.substr(0, text.find(' ')));
                    else if (text.find(" left the [") != std::string::npos)
                      left.push_back(text.substr(0, text.find(' ')));
                  }};
  ctx.first_poll_delay_ms = 0;
  ctx.idle_leave_ms = 2;
  ctx.sweep_interval_ms = 0;

  std::atomic<bool> done{false};
  std::thread lobby([&] {
    std::string out;
    while (!done) page_index(ctx, "/index.ghp", out);
  });
  std::vector<std::thread> users;
  for (int t = 0; t < kThreads; ++t) {
    users.emplace_back([&, t] {
      std::string out;
      for (int i = 0; i < kJoinsEach; ++i) {
        const std::string query = "?username=u" + std::to_string(t) + "_" + std::to_string(i) +
                                  "&password=&room=" + std::to_string(1 + i % 2);
        page_chat(ctx, "10.0.0.1", "/chat.ghp" + query + "&sex=1", out);
        page_body(ctx, "/body.ghp" + query, out);
        if (i % 3 == 0) {
          chat_post(ctx, "10.0.0.1",
                    "POST /chatsubmit.ghp" + query + " HTTP/1.0\r\n\r\nmessage=hi&chat_flag=1", out);
        }
        if (i % 2 == 0) page_exit(ctx, "10.0.0.1", "/exit.ghp" + query, out);  // else: tab closed
      }
    });
  }
  for (std::thread& u : users) u.join();
  done = true;
  lobby.join();

  // Far in the future every place left is stale.
  ctx.now_ms = [] { return 1LL << 60; };
  std::string out;
  page_index(ctx, "/index.ghp", out);
  EXPECT_EQ(out, "var OnlineUsers = 0 ;");
  ChatState::Hold hold(state);
  EXPECT_EQ(state.online_count(), 0);
  EXPECT_EQ(joined.size(), static_cast<std::size_t>(kThreads * kJoinsEach));
  std::multiset<std::string> joins(joined.begin(), joined.end()), leaves(left.begin(), left.end());
  EXPECT_EQ(joins, leaves);  // each exactly once
  for (const std::string& name : joins) EXPECT_EQ(joins.count(name), 1u) << name;
}

}  // namespace
}  // namespace tvl
