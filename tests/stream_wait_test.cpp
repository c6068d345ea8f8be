// The waiting form of the message stream over loopback: a real server, raw
// clients. A waiting request answers once a line for its visitor arrives and
// not before; a private line wakes only its addressee; a time-out answers
// with nothing and loses nothing; a waiting visitor stays present; a stop
// (SIGTERM in the service) answers every waiting request at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "chat/engine.h"
#include "platform/fs.h"
#include "tests/support/child_process.h"
#include "tests/support/room_file.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

constexpr int kIoMs = 10000;  // hang guard for one answer

using test::open_room;

std::string get(int port, const std::string& path) { return test::chat_get(port, path, kIoMs); }

std::string post(int port, const std::string& query, const std::string& message,
                 const std::string& to = "All", bool whisper = false) {
  return test::chat_post(port, query, message, kIoMs, to, whisper);
}

// Sends a waiting body request on its own connection.
std::unique_ptr<test::RawClient> start_wait(int port, const std::string& query) {
  auto c = std::make_unique<test::RawClient>();
  if (!c->connect(port) || !c->send("GET /body.ghp" + query + "&wait=1 HTTP/1.0\r\n\r\n"))
    return nullptr;
  return c;
}

class StreamWait : public ::testing::Test {
 protected:
  void SetUp() override {
    port = test::start_two_room_chat(engine, folder, [this](ChatContext& ctx) {
      ctx.stream_wait_ms = 20000;  // far longer than any check below
      ctx.now_ms = [this] { return clock_ms.load(); };
    });
    ASSERT_NE(port, 0);
  }

  // Enters and takes the history; the query of the place afterwards.
  std::string enter(const std::string& name, int room) {
    return test::enter_place(port, name, room, kIoMs);
  }
  // A plain poll: takes what is new, and the user list's reload after others
  // entered (a waiting request would answer at once with it).
  void drain(const std::vector<std::string>& queries) {
    for (const std::string& q : queries) get(port, "/body.ghp" + q);
  }

  int waiting() {
    ChatState::Hold hold(engine.state());
    return engine.state().waiting_count();
  }
  bool waits(int room, const char* name) {
    ChatState::Hold hold(engine.state());
    return engine.state().is_waiting(room, name);
  }
  bool online(int room, const std::string& name) {
    ChatState::Hold hold(engine.state());
    return engine.state().find_online_user(room, name).has_value();
  }

  test::TestEnvironment env;
  test::TempDir folder;
  std::atomic<long long> clock_ms{1000000};
  ChatEngine engine;
  int port = 0;
};

TEST_F(StreamWait, AnswersWhenALineArrivesAndNotBefore) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1), cy = enter("cy", 2);
  ASSERT_FALSE(ann.empty());
  ASSERT_FALSE(bob.empty());
  drain({bob});
  auto stream = start_wait(port, bob);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(test::eventually([&] { return waits(1, "bob"); }));
  // Lines of another room and bob's own post do not end the wait.
  post(port, cy, "elsewhere");
  post(port, bob, "mine");
  EXPECT_TRUE(waits(1, "bob"));
  EXPECT_EQ(stream->read_http_answer(300), "");

  post(port, ann, "hello");
  const std::string answer = stream->read_http_answer(kIoMs);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;
  EXPECT_NE(answer.find("hello"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("elsewhere"), std::string::npos) << answer;
  EXPECT_EQ(answer.find("mine"), std::string::npos) << answer;
  EXPECT_EQ(waiting(), 0);
}

TEST_F(StreamWait, ANewWaitOfAPlaceAnswersTheOlderAtOnce) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  drain({ann, bob});
  auto first = start_wait(port, bob);
  ASSERT_TRUE(first);
  ASSERT_TRUE(test::eventually([&] { return waits(1, "bob"); }));
  auto second = start_wait(port, bob);
  ASSERT_TRUE(second);
  // The older stream answers with nothing new; the newer one waits on.
  const std::string answer = first->read_http_answer(kIoMs);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;
  ASSERT_TRUE(test::eventually([&] { return waiting() == 1; }));
  // Without the place's key a stream cannot take another's place.
  auto stranger = start_wait(port, "?username=bob&password=guess&room=1");
  ASSERT_TRUE(stranger);
  EXPECT_EQ(stranger->read_http_answer(kIoMs).rfind("HTTP/1.0 200", 0), 0u);
  EXPECT_EQ(waiting(), 1);
  post(port, ann, "hello");
  EXPECT_NE(second->read_http_answer(kIoMs).find("hello"), std::string::npos);
}

TEST_F(StreamWait, PrivateLineWakesOnlyItsAddressee) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1), cy = enter("cy", 1);
  drain({bob, cy});
  auto to_bob = start_wait(port, bob), to_cy = start_wait(port, cy);
  ASSERT_TRUE(to_bob && to_cy);
  ASSERT_TRUE(test::eventually([&] { return waits(1, "bob") && waits(1, "cy"); }));

  post(port, ann, "psst", "bob", true);
  const std::string bobs = to_bob->read_http_answer(kIoMs);
  EXPECT_NE(bobs.find("psst"), std::string::npos) << bobs;
  EXPECT_TRUE(waits(1, "cy"));
  EXPECT_FALSE(waits(1, "bob"));

  post(port, ann, "everyone");
  const std::string cys = to_cy->read_http_answer(kIoMs);
  EXPECT_NE(cys.find("everyone"), std::string::npos) << cys;
  EXPECT_EQ(cys.find("psst"), std::string::npos) << cys;
}

TEST_F(StreamWait, TimeOutAnswersWithNoLineAndLosesNone) {
  engine.pages().context().stream_wait_ms = 200;
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  drain({bob});
  auto stream = start_wait(port, bob);
  ASSERT_TRUE(stream);
  const std::string quiet = stream->read_http_answer(kIoMs);
  EXPECT_EQ(quiet.rfind("HTTP/1.0 200", 0), 0u) << quiet;
  EXPECT_NE(quiet.find("<script><!--$msg--></script>"), std::string::npos) << quiet;

  // Lines pushed between two waiting requests come with the next one.
  post(port, ann, "first");
  post(port, ann, "second");
  auto next = start_wait(port, bob);
  const std::string answer = next->read_http_answer(kIoMs);
  const std::size_t first = answer.find("first"), second = answer.find("second");
  EXPECT_NE(first, std::string::npos) << answer;
  EXPECT_NE(second, std::string::npos) << answer;
  EXPECT_LT(first, second);
}

TEST_F(StreamWait, AWaitingVisitorStaysPresentPastTheIdleBound) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  drain({bob});
  auto stream = start_wait(port, bob);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(test::eventually([&] { return waits(1, "bob"); }));
  clock_ms += kIdleLeaveMs + 1000;
  // The next request sweeps: ann, silent for longer than the bound, leaves;
  // bob, waiting all that time, stays and is told of ann's leaving.
  ASSERT_FALSE(enter("cy", 2).empty());
  EXPECT_FALSE(online(1, "ann"));
  EXPECT_TRUE(online(1, "bob"));
  const std::string answer = stream->read_http_answer(kIoMs);
  EXPECT_NE(answer.find("left the chat room..."), std::string::npos) << answer;
}

TEST_F(StreamWait, WaitsLiveThroughAReloadUnlessTheirRoomIsGoneAndEndOnStop) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1), cy = enter("cy", 2);
  drain({bob, cy});
  auto in_one = start_wait(port, bob), in_two = start_wait(port, cy);
  ASSERT_TRUE(test::eventually([&] { return waiting() == 2; }));
  ASSERT_TRUE(test::write_room_file(folder.path(), {open_room("One")}));
  load_rooms(folder.path(), engine.state());
  EXPECT_EQ(in_two->read_http_answer(kIoMs).rfind("HTTP/1.0 404", 0), 0u);
  EXPECT_TRUE(waits(1, "bob"));
  post(port, ann, "after the reload");
  EXPECT_NE(in_one->read_http_answer(kIoMs).find("after the reload"), std::string::npos);

  // Each new stream of the place answers the one before; the last waits
  // until the stop answers it. (Each is opened once the one before waits:
  // sent all at once, some could still be on their way when the stop comes,
  // and a connection the stopping server never read is closed unanswered.)
  std::unique_ptr<test::RawClient> last;
  for (int i = 0; i < 20; ++i) {
    auto next = start_wait(port, bob);
    ASSERT_TRUE(next);
    if (last) {
      const std::string answer = last->read_http_answer(kIoMs);
      EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << i << ": " << answer;
    }
    last = std::move(next);
    ASSERT_TRUE(test::eventually([&] { return waits(1, "bob"); }));
  }
  EXPECT_EQ(waiting(), 1);
  engine.stop();
  const std::string answer = last->read_http_answer(kIoMs);
  EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;
}

// The service as it runs: 1,000 waiting requests, then SIGTERM. Every one is
// answered (a request still waiting when the program ends would only see its
// connection close), and the program exits.
TEST(StreamWaitService, SigtermAnswersAThousandWaitingRequests) {
  namespace fs = std::filesystem;
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 2200 && files.rlim_max >= 2200) {
    files.rlim_cur = 2200;  // the service inherits it
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  if (files.rlim_cur < 2200) GTEST_SKIP() << "needs 2,200 open files";
  test::TestEnvironment env;
  test::TempDir root;
  const std::string folder = root.path() + "program/";
  fs::create_directories(folder);
  fs::copy(TAVELLA_DIST_DIR, folder, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  test::PortReservation reserved;
  const int port = reserved.port();
  // A thousand connections from 127.0.0.1: no bound per address. A place
  // has one waiting stream, so a thousand places wait.
  ASSERT_TRUE(write_whole_file(folder + "option.ini", std::string(test::kOpenOptions) + "MaxOnline=1000\r\nPort=" +
                                                          std::to_string(port) + "\r\n"));
  test::ChildProcess service;
  ASSERT_TRUE(service.start(folder + "tvlService", {}));
  ASSERT_TRUE(test::eventually([&] {
    return get(port, "/fnf.html").rfind("HTTP/1.0 200", 0) == 0;
  }));

  // A place has one waiting stream, so a thousand places enter, eight at a
  // time: one by one they would take longer than a place stays without a
  // poll.
  std::vector<std::string> places(1000);
  std::vector<std::thread> enterers;
  for (int t = 0; t < 8; ++t)
    enterers.emplace_back([&, t] {
      for (std::size_t u = t; u < places.size(); u += 8) {
        const std::string name = "w" + std::to_string(u);
        const std::string answer = get(port, "/chat.ghp?username=" + name + "&password=&room=1&sex=1");
        const std::size_t at = answer.find("name=\"tvl-identity\" content=\"");
        if (at == std::string::npos) continue;  // the place stays empty: counted below
        const std::size_t from = at + std::strlen("name=\"tvl-identity\" content=\"");
        std::string identity = answer.substr(from, answer.find('"', from) - from);
        for (std::size_t amp; (amp = identity.find("&amp;")) != std::string::npos;)
          identity.replace(amp, 5, "&");
        places[u] = "?" + identity;
        get(port, "/body.ghp" + places[u]);  // the history, the list
      }
    });
  for (std::thread& t : enterers) t.join();
  for (const std::string& q : places) ASSERT_FALSE(q.empty());
  for (const std::string& q : places) get(port, "/body.ghp" + q);  // the others' joins
  std::vector<std::unique_ptr<test::RawClient>> streams;
  for (int i = 0; i < 1000; ++i) {
    streams.push_back(start_wait(port, places[i % places.size()]));
    ASSERT_TRUE(streams.back()) << i;
  }
  // A waiting request's thread sleeps on a futex (the condition variable);
  // one that has not read its request yet sleeps in poll.
  const std::string tasks = "/proc/" + std::to_string(service.pid()) + "/task";
  ASSERT_TRUE(test::eventually([&] {
    int n = 0;
    for (auto it = fs::directory_iterator(tasks); it != fs::directory_iterator(); ++it)
      n += test::file_text(it->path().string() + "/wchan").rfind("futex", 0) == 0;
    return n >= 1000;
  }, std::chrono::seconds(30)));
  service.signal(SIGTERM);
  int answered = 0;
  for (auto& s : streams) answered += s->read_http_answer(kIoMs).rfind("HTTP/1.0 200", 0) == 0;
  EXPECT_EQ(answered, 1000);
  EXPECT_EQ(service.wait(), 0) << service.err();
}

}  // namespace
}  // namespace tvl
