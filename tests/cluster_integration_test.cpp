// Several servers sharing one chat through a private Redis, each run in
// this process as tvlService runs it (EngineObject) on loopback: lines
// posted through different nodes, private lines between nodes, a node that
// starts late, Redis going away and coming back, tvlctl cluster status, and
// a server without [Cluster] that needs no Redis at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/lock_annotations.h"
#include "service/engine_object.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/child_process.h"
#include "tests/support/private_redis.h"
#include "tests/support/service_folder.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

constexpr int kTimeoutMs = 5000;
const char kRefused[] = "The chat cannot pass your message on right now";

// One node: its program folder, reserved port and engine, and what it said
// about Redis.
class Node {
 public:
  Node(const std::string& cluster_section) {
    (void)write_chat_window_folder(
        folder_,
        std::string(kOpenOptions) + "ListenAddress=127.0.0.1\r\nport=" +
            std::to_string(port_.port()) + "\r\n" + cluster_section,
        {open_room("One"), open_room("Two")});
    engine_.set_cluster_reports([this](const std::string& text) {
      MutexLock hold(lock_);
      reports_.push_back(text);
    });
    engine_.load(folder_.path());
    engine_.engine().pages().context().first_poll_delay_ms = 0;
  }
  bool start() { return engine_.start_chat_server(); }
  int port() const { return port_.port(); }
  EngineObject& object() { return engine_; }
  ChatState& state() { return engine_.engine().state(); }
  const std::string& folder() const { return folder_.path(); }
  std::vector<std::string> reports() {
    MutexLock hold(lock_);
    return reports_;
  }
  int reports_with(const std::string& part) {
    const std::vector<std::string> all = reports();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& r) {
      return r.find(part) != std::string::npos;
    }));
  }

 private:
  TestEnvironment env_;
  TempDir folder_;
  PortReservation port_;
  EngineObject engine_;
  Mutex lock_;
  std::vector<std::string> reports_ GUARDED_BY(lock_);
};

// The "mNN" words of a room's kept lines, in ring order.
std::vector<std::string> posted_words(ChatState& state, int room) {
  std::vector<std::string> words;
  for (const std::string& text : kept_texts(state, room)) {
    const std::size_t at = text.find("word");
    if (at != std::string::npos) words.push_back(text.substr(at, 6));
  }
  return words;
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (redis_server_program().empty()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis_.start());
  }
  Node& add_node(const std::string& name) {
    nodes_.push_back(std::make_unique<Node>(redis_.cluster_section(name)));
    return *nodes_.back();
  }

  PrivateRedis redis_{"test-secret"};
  std::vector<std::unique_ptr<Node>> nodes_;
};

TEST_F(ClusterTest, LinesPostedThroughEveryNodeArriveOnceInOneOrderEverywhere) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  Node& c = add_node("c");
  for (Node* n : {&a, &b, &c}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b.port(), "bob", 1, kTimeoutMs);
  const std::string cy = enter_place(c.port(), "cy", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty() || cy.empty());

  const std::vector<std::pair<Node*, std::string>> posters = {{&a, ann}, {&b, bob}, {&c, cy}};
  std::vector<std::string> sent;
  std::string bob_received;  // the answers of bob's posts, then his polls
  for (int i = 0; i < 30; ++i) {
    char word[8];
    std::snprintf(word, sizeof word, "word%02d", i);
    sent.push_back(word);
    const auto& [node, query] = posters[i % 3];
    const std::string answer = chat_post(node->port(), query, word, kTimeoutMs);
    // The sender's answer shows its own line at once.
    EXPECT_NE(answer.find(word), std::string::npos) << answer;
    if (node == &b) bob_received += answer;
  }
  for (Node* n : {&a, &b, &c}) {
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() >= sent.size(); }));
    // Each node applied each line once, and all in the order they were sent
    // (each post returned before the next was sent).
    EXPECT_EQ(posted_words(n->state(), 1), sent);
    EXPECT_TRUE(posted_words(n->state(), 2).empty());
  }
  // Delivery stays local: bob, on b, gets every line once, through the
  // answers of his posts and his polls.
  bob_received += chat_get(b.port(), "/body.ghp" + bob, kTimeoutMs);
  bob_received += chat_get(b.port(), "/body.ghp" + bob, kTimeoutMs);
  for (const std::string& word : sent) EXPECT_EQ(count_of(bob_received, word), 1) << word;
}

TEST_F(ClusterTest, LinesPostedAtOnceThroughThreeNodesHaveOneOrderOnAll) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  Node& c = add_node("c");
  std::vector<Node*> nodes = {&a, &b, &c};
  std::vector<std::string> places;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ASSERT_TRUE(nodes[i]->start());
    places.push_back(enter_place(nodes[i]->port(), "poster" + std::to_string(i), 1, kTimeoutMs));
    ASSERT_FALSE(places.back().empty());
  }
  constexpr int kEach = 15;
  std::vector<std::thread> posters;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    posters.emplace_back([&, i] {
      for (int k = 0; k < kEach; ++k) {
        // Six letters, as posted_words reads them: the node, then k in hex.
        char word[8];
        std::snprintf(word, sizeof word, "word%c%x", static_cast<char>('a' + i), k);
        (void)chat_post(nodes[i]->port(), places[i], word, kTimeoutMs);
      }
    });
  }
  for (std::thread& t : posters) t.join();
  const std::size_t total = nodes.size() * kEach;
  for (Node* n : nodes)
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() >= total; }));
  const std::vector<std::string> order = posted_words(a.state(), 1);
  EXPECT_EQ(total, std::set<std::string>(order.begin(), order.end()).size());  // none twice
  EXPECT_EQ(order, posted_words(b.state(), 1));
  EXPECT_EQ(order, posted_words(c.state(), 1));
}

TEST_F(ClusterTest, PrivateLineReachesOnlyItsAddresseeOnAnotherNode) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b.port(), "bob", 1, kTimeoutMs);
  const std::string cy = enter_place(b.port(), "cy", 1, kTimeoutMs);
  const std::string dee = enter_place(a.port(), "dee", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty() || cy.empty() || dee.empty());
  EXPECT_NE(chat_post(a.port(), ann, "wordPP", kTimeoutMs, "bob", true).find("wordPP"),
            std::string::npos);
  for (Node* n : {&a, &b})
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() == 1; }));
  EXPECT_EQ(count_of(chat_get(b.port(), "/body.ghp" + bob, kTimeoutMs), "wordPP"), 1);
  EXPECT_EQ(count_of(chat_get(b.port(), "/body.ghp" + cy, kTimeoutMs), "wordPP"), 0);
  EXPECT_EQ(count_of(chat_get(a.port(), "/body.ghp" + dee, kTimeoutMs), "wordPP"), 0);
  EXPECT_EQ(count_of(chat_get(a.port(), "/body.ghp" + ann, kTimeoutMs), "wordPP"), 0);
}

TEST_F(ClusterTest, NodeStartedLateHoldsTheRecentLines) {
  Node& a = add_node("a");
  ASSERT_TRUE(a.start());
  const std::string ann = enter_place(a.port(), "ann", 2, kTimeoutMs);
  ASSERT_FALSE(ann.empty());
  for (const char* w : {"word01", "word02", "word03"})
    ASSERT_NE(chat_post(a.port(), ann, w, kTimeoutMs).find(w), std::string::npos);
  Node& b = add_node("b");
  ASSERT_TRUE(b.start());
  const std::vector<std::string> expected = {"word01", "word02", "word03"};
  ASSERT_TRUE(eventually([&] { return posted_words(b.state(), 2).size() >= 3; }));
  EXPECT_EQ(posted_words(b.state(), 2), expected);
}

TEST_F(ClusterTest, RedisAwayRefusesPostsStoresNothingAndSaysSoOnce) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty());
  ASSERT_NE(chat_post(a.port(), ann, "word01", kTimeoutMs).find("word01"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return posted_words(b.state(), 1).size() == 1; }));

  redis_.stop();
  for (const char* w : {"word02", "word03"}) {
    const std::string answer = chat_post(a.port(), ann, w, kTimeoutMs);
    EXPECT_NE(answer.find(kRefused), std::string::npos) << answer;
    EXPECT_EQ(answer.find(w), std::string::npos) << answer;
  }
  ASSERT_TRUE(eventually([&] { return b.reports_with("away") + b.reports_with("refused") >= 1; }));
  const std::vector<std::string> only_first = {"word01"};
  for (Node* n : {&a, &b}) {
    EXPECT_EQ(posted_words(n->state(), 1), only_first);
    // Said once, however often the threads and the posts met it.
    EXPECT_EQ(n->reports_with("posted lines are refused"), 1);
  }

  ASSERT_TRUE(redis_.start());  // back, and empty
  ASSERT_TRUE(eventually([&] { return a.reports_with("reachable again") == 1; }));
  // The post goes out at once, on a fresh connection: the one of before
  // Redis went away is not used again.
  const std::string again = chat_post(a.port(), ann, "word04", kTimeoutMs);
  ASSERT_NE(again.find("word04"), std::string::npos)
      << again << "\n" << ::testing::PrintToString(a.reports());
  const std::vector<std::string> both = {"word01", "word04"};
  for (Node* n : {&a, &b}) {
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() >= 2; }));
    EXPECT_EQ(posted_words(n->state(), 1), both);
  }
}

TEST_F(ClusterTest, WrongPasswordIsRedisAwayAndNobodyEnters) {
  auto node = std::make_unique<Node>("[Cluster]\r\nRedis=" + redis_.socket_path() +
                                     "\r\nRedisPassword=wrong\r\nNode=x\r\n");
  ASSERT_TRUE(node->start());
  // Nobody enters: the name cannot be claimed for the whole chat.
  const std::string answer =
      chat_get(node->port(), "/chat.ghp?username=ann&password=&room=1&sex=1", kTimeoutMs);
  EXPECT_NE(answer.find("cannot check your name"), std::string::npos) << answer;
  {
    ChatState::Hold hold(node->state());
    EXPECT_EQ(0, node->state().online_count());
  }
  ASSERT_TRUE(eventually([&] { return node->reports_with("refused the password") == 1; }));
  for (const std::string& r : node->reports()) EXPECT_EQ(r.find("wrong"), std::string::npos) << r;
}

TEST_F(ClusterTest, TvlctlStatusListsTheNodesAndRedisState) {
  Node& a = add_node("alpha");
  Node& b = add_node("beta");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  ASSERT_FALSE(enter_place(b.port(), "bob", 1, kTimeoutMs).empty());
  const std::string tvlctl = std::string(TAVELLA_DIST_DIR) + "/tvlctl";
  auto status = [&](int& code) {
    ChildProcess p;
    if (!p.start(tvlctl, {"--folder", a.folder(), "cluster", "status"})) return std::string();
    code = p.wait();
    return p.out();
  };
  int code = -1;
  std::string out;
  // The heartbeat with bob comes within a few seconds.
  ASSERT_TRUE(eventually([&] {
    out = status(code);
    return out.find("node beta: 1 visitor,") != std::string::npos;
  }, std::chrono::seconds(15))) << out;
  EXPECT_EQ(code, 0);
  EXPECT_NE(out.find(": reachable"), std::string::npos) << out;
  EXPECT_NE(out.find("node alpha: 0 visitors"), std::string::npos) << out;

  b.object().stop_chat_server();  // leaves the list at once
  out = status(code);
  EXPECT_EQ(out.find("node beta"), std::string::npos) << out;

  redis_.stop();
  out = status(code);
  EXPECT_EQ(code, 1);
  EXPECT_NE(out.find(": away ("), std::string::npos) << out;
}

TEST_F(ClusterTest, ANameIsOnlineOnceAcrossNodes) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  ASSERT_FALSE(enter_place(a.port(), "ann", 1, kTimeoutMs).empty());
  // In the same room, in any case, the name is taken on the other node.
  for (const char* name : {"ann", "ANN"}) {
    const std::string answer =
        chat_get(b.port(), std::string("/chat.ghp?username=") + name + "&password=&room=1&sex=1",
                 kTimeoutMs);
    EXPECT_NE(answer.find("This username has logged on"), std::string::npos) << answer;
  }
  ASSERT_FALSE(enter_place(b.port(), "bob", 1, kTimeoutMs).empty());
  // As on one server, another room is another place.
  ASSERT_FALSE(enter_place(b.port(), "ann", 2, kTimeoutMs).empty());
  EXPECT_NE(chat_get(a.port(), "/chat.ghp?username=ann&password=&room=2&sex=1", kTimeoutMs)
                .find("This username has logged on"),
            std::string::npos);
  // A node that stops gives its names up at once.
  a.object().stop_chat_server();
  EXPECT_FALSE(enter_place(b.port(), "ann", 1, kTimeoutMs).empty());

  redis_.stop();
  const std::string away =
      chat_get(b.port(), "/chat.ghp?username=cy&password=&room=1&sex=1", kTimeoutMs);
  EXPECT_NE(away.find("cannot check your name"), std::string::npos) << away;
  ChatState::Hold hold(b.state());
  EXPECT_EQ(3, b.state().online_count());  // bob and ann twice, no cy
}

// tvlService itself: it joins, says once on standard error and in
// service.log that Redis went away, and stops cleanly while it is away.
TEST_F(ClusterTest, TheServiceSaysOnStandardErrorAndInItsLogWhenRedisGoesAway) {
  ServiceFolder folder("program/");
  ASSERT_TRUE(folder.write_options("[Server]\r\nport=" + std::to_string(folder.port()) +
                                   "\r\nListenAddress=127.0.0.1\r\n" +
                                   redis_.cluster_section("svc")));
  ChildProcess service;
  ASSERT_TRUE(folder.start_service(service));
  ASSERT_TRUE(service.wait_for_error("node svc shares the chat through Redis")) << service.err();
  redis_.stop();
  ASSERT_TRUE(service.wait_for_error("posted lines are refused until it is back")) << service.err();
  service.signal(SIGTERM);
  ASSERT_EQ(0, service.wait());
  EXPECT_EQ(1, count_of(service.err(), "posted lines are refused")) << service.err();
  const std::string log = file_text(folder.path() + "service.log");
  EXPECT_EQ(1, count_of(log, "posted lines are refused until it is back")) << log;
  EXPECT_EQ(1, count_of(log, "node svc shares the chat through Redis")) << log;
}

// No [Cluster]: the server is the whole chat and asks for no Redis at all.
TEST(ClusterAbsent, ServerWithoutClusterSectionPostsAlone) {
  Node alone("");
  ASSERT_TRUE(alone.start());
  EXPECT_EQ(alone.object().cluster(), nullptr);
  const std::string ann = enter_place(alone.port(), "ann", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty());
  EXPECT_NE(chat_post(alone.port(), ann, "word01", kTimeoutMs).find("word01"), std::string::npos);
  EXPECT_EQ(posted_words(alone.state(), 1), std::vector<std::string>{"word01"});
  EXPECT_TRUE(alone.reports().empty());
}

}  // namespace
}  // namespace tvl::test
