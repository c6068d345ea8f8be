// The live form of the message stream over loopback: a real server, raw
// clients reading the event stream. Lines arrive in order on one answer; a
// private line reaches only its place; a broken stream resumes without loss
// or repeat; a stream ends when its place ends or a newer one of the place
// takes over; a quiet stream sends keep-alive comments; a stop ends them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "chat/body_stream.h"
#include "chat/engine.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::count_of;

constexpr int kIoMs = 10000;  // hang guard for one expected piece

using test::open_room;

std::string get(int port, const std::string& path) { return test::chat_get(port, path, kIoMs); }

std::string post(int port, const std::string& query, const std::string& message,
                 const std::string& to = "All", bool whisper = false) {
  return test::chat_post(port, query, message, kIoMs, to, whisper);
}

// One open stream as the window's EventSource holds it.
class Stream {
 public:
  bool open(int port, const std::string& query, const std::string& extra_headers = "") {
    return client_.connect(port) &&
           client_.send("GET /body.ghp" + query + "&stream=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                        extra_headers + "\r\n");
  }
  // Reads until `text` has arrived (true) or the guard passes / the server
  // closes without it (false).
  bool read_until(const std::string& text, int guard_ms = kIoMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(guard_ms);
    while (got_.find(text, seen_) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now()).count();
      if (left <= 0 || closed_) return false;
      pollfd p{client_.fd(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[4096];
      const ssize_t n = recv(client_.fd(), buffer, sizeof buffer, 0);
      if (n <= 0) closed_ = true;
      else got_.append(buffer, static_cast<std::size_t>(n));
    }
    seen_ = got_.find(text, seen_) + text.size();
    return true;
  }
  bool wait_closed() { return read_until("\x01never\x01") ? false : closed_; }
  void rewind() { seen_ = 0; }
  // The last "id:" value received.
  std::string last_id() const {
    const std::size_t at = got_.rfind("\nid: ");
    if (at == std::string::npos) return std::string();
    return got_.substr(at + 5, got_.find('\n', at + 5) - at - 5);
  }
  void close() { client_.close(); }
  const std::string& text() const { return got_; }

 private:
  test::RawClient client_;
  std::string got_;
  std::size_t seen_ = 0;
  bool closed_ = false;
};

class BodyStream : public ::testing::Test {
 protected:
  void SetUp() override {
    port = test::start_two_room_chat(engine, folder, [](ChatContext& ctx) {
      ctx.stream_keepalive_ms = 60000;  // no comment in the way unless a test asks
    });
    ASSERT_NE(port, 0);
  }

  // Enters and takes the history; the query of the place afterwards.
  std::string enter(const std::string& name, int room) {
    return test::enter_place(port, name, room, kIoMs);
  }
  // Opens a stream of the place and reads its first piece (hello ends it);
  // reads after it look at the first piece too.
  std::unique_ptr<Stream> stream(const std::string& query, const std::string& headers = "") {
    auto s = std::make_unique<Stream>();
    if (!s->open(port, query, headers) || !s->read_until("event: hello\ndata: 1\n\n")) return nullptr;
    s->rewind();
    return s;
  }

  test::TestEnvironment env;
  test::TempDir folder;
  ChatEngine engine;
  int port = 0;
};

TEST_F(BodyStream, LinesArriveInOrderOnOneAnswerAndNoTextBreaksAnEvent) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  ASSERT_FALSE(ann.empty());
  ASSERT_FALSE(bob.empty());
  auto s = stream(bob);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->text().rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << s->text();
  EXPECT_NE(s->text().find("Content-Type: text/event-stream\r\n"), std::string::npos);
  EXPECT_NE(s->text().find("X-Accel-Buffering: no\r\n"), std::string::npos);
  EXPECT_EQ(s->text().find("Content-Length"), std::string::npos);

  for (int i = 0; i < 10; ++i) post(port, ann, "line" + std::to_string(i) + "x");
  ASSERT_TRUE(s->read_until("line9x")) << s->text();
  std::size_t at = 0;
  for (int i = 0; i < 10; ++i) {
    const std::size_t next = s->text().find("line" + std::to_string(i) + "x");
    ASSERT_NE(next, std::string::npos) << i;
    EXPECT_GT(next, at) << "line " << i << " out of order";
    at = next;
    EXPECT_EQ(count_of(s->text(), "line" + std::to_string(i) + "x"), 1) << i;
  }
  EXPECT_EQ(count_of(s->text(), "HTTP/1.0"), 1);

  // A line holding line breaks and what looks like fields stays data.
  post(port, ann, "a%0D%0Aevent: out%0Aid: 9.9%0D");
  ASSERT_TRUE(s->read_until("id: 9.9")) << s->text();
  EXPECT_EQ(s->text().find("\nevent: out\n"), std::string::npos) << s->text();
  EXPECT_EQ(s->text().find("\nid: 9.9"), std::string::npos) << s->text();
  EXPECT_NE(s->text().find("\ndata: event: out"), std::string::npos) << s->text();
}

TEST_F(BodyStream, PrivateLineReachesOnlyItsPlaceAndTheUserListChangeArrives) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1), cy = enter("cy", 1);
  get(port, "/body.ghp" + ann);
  get(port, "/body.ghp" + bob);
  auto to_bob = stream(bob), to_cy = stream(cy);
  ASSERT_TRUE(to_bob && to_cy);
  post(port, ann, "secretword", "bob", true);
  post(port, ann, "openword");
  ASSERT_TRUE(to_bob->read_until("openword"));
  ASSERT_TRUE(to_cy->read_until("openword"));
  EXPECT_NE(to_bob->text().find("secretword"), std::string::npos);
  EXPECT_EQ(to_cy->text().find("secretword"), std::string::npos);

  // Somebody entering changes the online count: every stream says so once.
  ASSERT_FALSE(enter("dee", 2).empty());
  EXPECT_TRUE(to_bob->read_until("event: users\ndata: 1\n\n"));
  EXPECT_TRUE(to_cy->read_until("event: users\ndata: 1\n\n"));
}

// Where a pusher writes for the waiting stream (a plain connection), a
// piece the connection takes only part of is finished by the stream's own
// thread before anything newer, and a connection that broke ends the
// stream.
class PartOutlet final : public LiveOutlet {
 public:
  long send_now(std::string_view data) override {
    std::lock_guard<std::mutex> hold(lock);
    if (broken) return -1;
    const std::size_t n = std::min(data.size(), take);
    log.append(data.substr(0, n));
    take = std::string::npos;  // takes everything after the first time
    return static_cast<long>(n);
  }
  std::mutex lock;
  std::string log;  // what went out, in order, from either side
  std::size_t take = 40;
  bool broken = false;
};

TEST_F(BodyStream, APieceTheConnectionTakesInPartIsFinishedInOrderAndABreakEndsIt) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + bob);
  PartOutlet outlet;
  std::unique_ptr<LiveStream> live =
      open_body_stream(engine.pages().context(), "/body.ghp" + bob + "&stream=1", "");
  ASSERT_TRUE(live);
  live->attach(outlet);
  std::string first;
  ASSERT_TRUE(live->next(first));
  ASSERT_NE(first.find("event: hello"), std::string::npos) << first;

  bool ended = false;
  std::thread reader([&] {
    for (;;) {
      std::string piece;
      const bool more = live->next(piece);
      {
        std::lock_guard<std::mutex> hold(outlet.lock);
        outlet.log += piece;
      }
      if (!more) break;
    }
    ended = true;
  });
  const auto sent = [&](const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> hold(outlet.lock);
        if (outlet.log.find(text) != std::string::npos) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  // The pusher writes only while the stream's thread waits; a line pushed
  // before it waits again is the thread's own to send.
  ChatState& state = engine.pages().context().state;
  const auto waiting = [&] {
    return test::eventually([&] {
      ChatState::Hold chat(state);
      return state.waiting_count() == 1;
    });
  };
  ASSERT_TRUE(waiting());
  post(port, ann, "firstline");
  EXPECT_TRUE(sent("firstline"));
  ASSERT_TRUE(waiting());
  post(port, ann, "secondline");
  EXPECT_TRUE(sent("secondline"));
  {
    std::lock_guard<std::mutex> hold(outlet.lock);
    EXPECT_EQ(count_of(outlet.log, "event: board\n"), 2) << outlet.log;
    EXPECT_LT(outlet.log.find("firstline"), outlet.log.find("event: board\n", 1)) << outlet.log;
    outlet.broken = true;
  }
  ASSERT_TRUE(waiting());
  post(port, ann, "thirdline");
  reader.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(count_of(outlet.log, "thirdline"), 0) << outlet.log;
}

TEST_F(BodyStream, ABrokenStreamResumesWithoutLossOrRepeat) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + bob);
  auto first = stream(bob);
  ASSERT_TRUE(first);
  post(port, ann, "one1");
  ASSERT_TRUE(first->read_until("one1"));
  const std::string id = first->last_id();
  ASSERT_FALSE(id.empty());
  // The stream breaks; the server's side may still take lines for it and
  // lose them on the way.
  first->close();
  post(port, ann, "two2");
  post(port, ann, "three3");
  auto again = stream(bob, "Last-Event-ID: " + id + "\r\n");
  ASSERT_TRUE(again);
  ASSERT_TRUE(again->read_until("three3")) << again->text();
  EXPECT_EQ(count_of(again->text(), "two2"), 1) << again->text();
  // What the place missed comes before the hello that ends the first piece.
  EXPECT_LT(again->text().find("three3"), again->text().find("event: hello")) << again->text();
  EXPECT_EQ(count_of(again->text(), "one1"), 0) << again->text();

  // The window's own number does the same; a number of other rings (a
  // reload, an earlier run) hands nothing again.
  const std::string id3 = again->last_id();
  again->close();
  post(port, ann, "four4");
  auto by_query = stream(bob + "&from=" + id3);
  ASSERT_TRUE(by_query);
  ASSERT_TRUE(by_query->read_until("four4"));
  EXPECT_EQ(count_of(by_query->text(), "three3"), 0);
  by_query->close();
  auto foreign = stream(bob, "Last-Event-ID: 12345.1\r\n");
  ASSERT_TRUE(foreign);
  post(port, ann, "five5");
  ASSERT_TRUE(foreign->read_until("five5"));
  EXPECT_EQ(count_of(foreign->text(), "four4"), 0) << foreign->text();
}

TEST_F(BodyStream, LinesHandedByAPageAreNotHandedAgainOnResume) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + bob);
  auto s = stream(bob);
  ASSERT_TRUE(s);
  post(port, ann, "early1");
  ASSERT_TRUE(s->read_until("early1"));
  const std::string id = s->last_id();
  s->close();
  // Without its stream the window polls, naming the last line the stream
  // brought (the server's side of the broken stream may take lines still).
  post(port, ann, "polled2");
  const std::string polled = get(port, "/body.ghp" + bob + "&from=" + id);
  ASSERT_NE(polled.find("polled2"), std::string::npos) << polled;
  auto back = stream(bob, "Last-Event-ID: " + id + "\r\n");
  ASSERT_TRUE(back);
  post(port, ann, "later3");
  ASSERT_TRUE(back->read_until("later3"));
  EXPECT_EQ(count_of(back->text(), "polled2"), 0) << back->text();
}

TEST_F(BodyStream, AWindowThatGivesUpOnAHeldStreamGetsWhatTheStreamTook) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + bob);
  // Like a proxy that holds the answer back: the stream takes the line,
  // and the window never sees it.
  auto held = stream(bob);
  ASSERT_TRUE(held);
  post(port, ann, "heldline");
  ASSERT_TRUE(held->read_until("heldline"));
  const std::string fallback = get(port, "/body.ghp" + bob + "&from=");
  EXPECT_EQ(count_of(fallback, "heldline"), 1) << fallback;
  // The page took over: the stream ends, and nothing comes twice.
  EXPECT_TRUE(held->read_until("event: superseded\ndata: 1\n\n"));
  post(port, ann, "nextline");
  const std::string next = get(port, "/body.ghp" + bob + "&from=");
  EXPECT_EQ(count_of(next, "heldline"), 0) << next;
  EXPECT_EQ(count_of(next, "nextline"), 1) << next;
}

TEST_F(BodyStream, AStreamingPlacePostsItsOwnLineOnceAndGetsTheOthersOnTheStream) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + bob);
  auto s = stream(bob);
  ASSERT_TRUE(s);
  post(port, ann, "fromann");
  const std::string answer = post(port, bob, "frombob");
  EXPECT_NE(answer.find("frombob"), std::string::npos) << answer;
  post(port, ann, "lastann");
  ASSERT_TRUE(s->read_until("lastann"));
  EXPECT_EQ(count_of(s->text(), "fromann"), 1) << s->text();
  EXPECT_EQ(count_of(s->text(), "frombob"), 0) << s->text();
  EXPECT_EQ(count_of(answer, "fromann"), 0) << answer;
}

TEST_F(BodyStream, EndsWhenItsPlaceEndsOrANewerOneTakesOver) {
  const std::string ann = enter("ann", 1), bob = enter("bob", 1);
  get(port, "/body.ghp" + ann);
  // A key the place does not hold: "out" at once, and the end.
  Stream stale;
  ASSERT_TRUE(stale.open(port, "?username=bob&password=nokey&room=1"));
  EXPECT_TRUE(stale.read_until("event: out\ndata: 1\n\n"));
  EXPECT_TRUE(stale.wait_closed());

  auto older = stream(ann);
  ASSERT_TRUE(older);
  auto newer = stream(ann);
  ASSERT_TRUE(newer);
  EXPECT_TRUE(older->read_until("event: superseded\ndata: 1\n\n"));
  EXPECT_TRUE(older->wait_closed());
  // Lines go to the newer one alone.
  post(port, bob, "fornewer");
  EXPECT_TRUE(newer->read_until("fornewer"));
  EXPECT_EQ(older->text().find("fornewer"), std::string::npos);

  // Leaving ends the place and its stream.
  get(port, "/exit.ghp" + ann);
  EXPECT_TRUE(newer->read_until("event: out\ndata: 1\n\n"));
  EXPECT_TRUE(newer->wait_closed());
}

TEST_F(BodyStream, AQuietStreamSendsKeepAlivesEndsAfterItsLifeAndOnAStop) {
  engine.pages().context().stream_keepalive_ms = 100;
  const std::string bob = enter("bob", 1);
  auto s = stream(bob);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->read_until(": keep-alive\n\n"));
  EXPECT_TRUE(s->read_until(": keep-alive\n\n"));
  engine.stop();
  EXPECT_TRUE(s->wait_closed());

  // A stream that lived its life ends; the place stays, and the next
  // stream goes on from there.
  ASSERT_EQ(engine.start(0), 1);  // any port again
  port = engine.server().port();
  engine.pages().context().stream_life_ms = 300;
  const std::string ann = enter("ann", 1);
  auto old = stream(bob);
  ASSERT_TRUE(old);
  EXPECT_TRUE(old->wait_closed());
  EXPECT_EQ(old->text().find("event: out"), std::string::npos) << old->text();
  engine.pages().context().stream_life_ms = 60000;
  auto next = stream(bob);
  ASSERT_TRUE(next);
  post(port, ann, "afterlife");
  EXPECT_TRUE(next->read_until("afterlife"));
}

}  // namespace
}  // namespace tvl
