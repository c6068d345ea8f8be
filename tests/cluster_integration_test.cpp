// Several servers sharing one chat through a private Redis, each run in
// this process as tvlService runs it (EngineObject) on loopback, or as a
// tvlService of its own where it is killed: lines posted through different
// nodes, private lines between nodes, a node that starts late, one online
// table and a visitor whose requests go to any node, a node killed, Redis
// going away and coming back (empty), tvlctl cluster status, and a server
// without [Cluster] that needs no Redis at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "cluster/redis_link.h"
#include "platform/lock_annotations.h"
#include "storage/account_name.h"
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
    folder_.write("users.htm", "count:<!--count-->|<!--users-->");
    folder_.write("findresult.htm", "found:<!--$Find-->");
    engine_.set_cluster_reports([this](const std::string& text) {
      MutexLock hold(lock_);
      reports_.push_back(text);
    });
    engine_.load(folder_.path());
    engine_.engine().pages().context().first_poll_delay_ms = 0;
  }
  bool start() { return engine_.start_chat_server(); }
  ChatContext& context() { return engine_.engine().pages().context(); }
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

// The mark a page answer of a cluster tells the window ("tvl.mark=..."),
// empty when it tells none (the place is not online there).
std::string mark_of(const std::string& answer) {
  const std::string key = "tvl.mark=\"";
  const std::size_t at = answer.find(key);
  if (at == std::string::npos) return std::string();
  const std::size_t begin = at + key.size();
  return answer.substr(begin, answer.find('"', begin) - begin);
}

// The ring numbers of the "wordNN" lines of a room, by word.
std::map<std::string, int> word_numbers(ChatState& state, int room) {
  std::map<std::string, int> numbers;
  ChatState::Hold hold(state);
  for (const RingLine& line : state.ring(room).lines) {
    const std::size_t at = line.text.find("word");
    if (at != std::string::npos) numbers[line.text.substr(at, 6)] = line.seq;
  }
  return numbers;
}

int online_count(ChatState& state) {
  ChatState::Hold hold(state);
  return state.online_count();
}

// Lines of the room that say `name` joined (or left).
int presence_lines(ChatState& state, int room, const std::string& name, const char* what) {
  int n = 0;
  for (const std::string& text : kept_texts(state, room))
    if (text.find(name) != std::string::npos && text.find(what) != std::string::npos) ++n;
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

// Three nodes a, b and c of one Redis, started.
class ThreeNodes : public ClusterTest {
 protected:
  void SetUp() override {
    ClusterTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* name : {"a", "b", "c"}) {
      Node& n = add_node(name);
      tune(n.context());
      ASSERT_TRUE(n.start());
    }
  }
  // What a test changes in each node's chat before it starts.
  virtual void tune(ChatContext&) {}
  Node& a() { return *nodes_[0]; }
  Node& b() { return *nodes_[1]; }
  Node& c() { return *nodes_[2]; }
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

TEST_F(ClusterTest, APlacePostingThroughEveryNodeInTurnGetsOneBurstInAll) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) {
    n->context().site.settings.post_burst = 3;
    n->context().site.settings.post_interval_ms = 600000;
    ASSERT_TRUE(n->start());
  }
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty());
  ASSERT_TRUE(eventually([&] { return online_count(b.state()) == 1; }));
  // Each node alone would take three; the two take three together.
  int taken = 0, refused = 0;
  for (int i = 0; i < 6; ++i) {
    const std::string word = "word0" + std::to_string(i);
    const std::string answer = chat_post((i % 2 ? b : a).port(), ann, word, kTimeoutMs);
    if (answer.find("You are sending too fast") != std::string::npos) ++refused;
    else if (answer.find(word) != std::string::npos) ++taken;
  }
  EXPECT_EQ(taken, 3);
  EXPECT_EQ(refused, 3);
  for (Node* n : {&a, &b})
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() == 3; }));
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
  // A node that stops leaves its places to the others: the name stays
  // taken while the place goes on through them.
  a.object().stop_chat_server();
  EXPECT_NE(chat_get(b.port(), "/chat.ghp?username=ann&password=&room=1&sex=1", kTimeoutMs)
                .find("This username has logged on"),
            std::string::npos);

  redis_.stop();
  const std::string away =
      chat_get(b.port(), "/chat.ghp?username=cy&password=&room=1&sex=1", kTimeoutMs);
  EXPECT_NE(away.find("cannot check your name"), std::string::npos) << away;
  ChatState::Hold hold(b.state());
  EXPECT_EQ(3, b.state().online_count());  // bob and ann twice, no cy
}

// The table of every node holds every node's visitors, so the user list,
// the start page's counts and finduser on any node show them all; a name
// or a lookalike of it is refused on the other nodes, and a place's key
// works on every node without a new "joined" line.
TEST_F(ThreeNodes, OneOnlineTableOnEveryNode) {
  const std::string ann = enter_place(a().port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  const std::string ram = enter_place(c().port(), "ram", 2, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty() || ram.empty());
  for (Node* n : {&a(), &b(), &c()})
    ASSERT_TRUE(eventually([&] { return online_count(n->state()) == 3; })) << n->port();
  for (Node* n : {&a(), &b(), &c()}) {
    const std::string list = chat_get(n->port(), "/users.ghp" + ann, kTimeoutMs);
    EXPECT_NE(list.find("count:2|"), std::string::npos) << list;
    EXPECT_NE(list.find(">bob</a>"), std::string::npos) << list;
    EXPECT_NE(chat_get(n->port(), "/finduser.ghp?username=ram", kTimeoutMs).find("[ram] is in [Two]"),
              std::string::npos);
  }
  // Refused elsewhere: the name in any case, a lookalike, in the room of
  // the place; each node is asked about a place another node admitted.
  ASSERT_EQ(account_name_skeleton("ram"), account_name_skeleton("rarn"));
  const struct {
    Node* node;
    const char* name;
    int room;
  } refused[] = {{&b(), "ann", 1}, {&c(), "ANN", 1}, {&a(), "rarn", 2}, {&a(), "ram", 2}};
  for (const auto& r : refused) {
    const std::string answer =
        chat_get(r.node->port(), std::string("/chat.ghp?username=") + r.name +
                                     "&password=&room=" + std::to_string(r.room) + "&sex=1",
                 kTimeoutMs);
    EXPECT_NE(answer.find("This username has logged on"), std::string::npos)
        << r.name << ": " << answer;
  }
  // ann's key on b and c: served there, one "joined" line on every node.
  for (Node* n : {&b(), &c()})
    EXPECT_FALSE(mark_of(chat_get(n->port(), "/body.ghp" + ann, kTimeoutMs)).empty());
  EXPECT_NE(chat_post(c().port(), ann, "word01", kTimeoutMs).find("word01"), std::string::npos);
  for (Node* n : {&a(), &b(), &c()}) {
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() == 1; }));
    EXPECT_EQ(1, presence_lines(n->state(), 1, "ann", "joined"));
  }
  // ann leaves through c: gone from every table, one "left" line each.
  EXPECT_NE(chat_get(c().port(), "/exit.ghp" + ann, kTimeoutMs).find("logged out"),
            std::string::npos);
  for (Node* n : {&a(), &b(), &c()}) {
    ASSERT_TRUE(eventually([&] { return presence_lines(n->state(), 1, "ann", "left") == 1; }));
    EXPECT_EQ(2, online_count(n->state()));
  }
  // The leave freed the name for the whole chat at once.
  EXPECT_FALSE(enter_place(b().port(), "ann", 1, kTimeoutMs).empty());
}

// A visitor whose requests go round robin over the nodes, each bringing
// the mark of the answer before: every line once, and each line has the
// same number on every node.
TEST_F(ThreeNodes, RequestsAlternatingBetweenNodesGetEveryLineOnce) {
  const std::string ann = enter_place(a().port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  std::vector<Node*> nodes = {&a(), &b(), &c()};
  std::string mark = mark_of(chat_get(a().port(), "/body.ghp" + ann, kTimeoutMs));
  ASSERT_FALSE(mark.empty());
  std::string received;
  std::vector<std::string> sent;
  for (int i = 0; i < 12; ++i) {
    char word[8];
    std::snprintf(word, sizeof word, "word%02d", i);
    sent.push_back(word);
    // bob posts through a node of his own turn, ann asks the next one.
    ASSERT_NE(chat_post(nodes[(i + 1) % 3]->port(), bob, word, kTimeoutMs).find(word),
              std::string::npos);
    Node& asked = *nodes[i % 3];
    const std::string form = i % 2 ? "&wait=1" : "";
    ASSERT_TRUE(eventually([&] { return posted_words(asked.state(), 1).size() > sent.size() - 1; }));
    const std::string answer =
        chat_get(asked.port(), "/body.ghp" + ann + form + "&seen=" + mark, kTimeoutMs);
    received += answer;
    ASSERT_FALSE(mark_of(answer).empty()) << answer;
    mark = mark_of(answer);
  }
  for (const std::string& word : sent) EXPECT_EQ(count_of(received, word), 1) << word;
  // ann's own line is in her post's answer alone.
  EXPECT_NE(chat_post(b().port(), ann, "wordAN", kTimeoutMs).find("wordAN"), std::string::npos);
  for (Node* n : nodes)
    EXPECT_EQ(count_of(chat_get(n->port(), "/body.ghp" + ann + "&seen=" + mark, kTimeoutMs),
                       "wordAN"),
              0);
  // ann asks for her own pane with a post through b: a line to her then
  // goes there on whichever node answers her.
  const std::string body = "message=wordSP&chat_flag=1&mtowho=All&mfilters=0&mfont=-1&mfcolor=1"
                           "&elist=0&seltype=0&msplit=on&msg=";
  ASSERT_NE(http_exchange(b().port(), "POST /chatsubmit.ghp" + ann +
                                          " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body,
                          kTimeoutMs)
                .find("wordSP"),
            std::string::npos);
  ASSERT_NE(chat_post(a().port(), bob, "wordTA", kTimeoutMs, "ann").find("wordTA"),
            std::string::npos);
  for (Node* n : {&a(), &c()})
    ASSERT_TRUE(eventually([&] { return posted_words(n->state(), 1).size() == sent.size() + 3; }));
  // The pane choice travels on its own, after the post that made it.
  ASSERT_TRUE(eventually([&] {
    ChatState::Hold hold(c().state());
    const std::optional<int> at = c().state().find_online_user(1, "ann");
    return at && c().state().user(*at).split;
  }));
  const std::string own = chat_get(c().port(), "/body.ghp" + ann + "&seen=" + mark, kTimeoutMs);
  const std::size_t pane = own.find("parent.mymsg");
  ASSERT_NE(pane, std::string::npos) << own;
  EXPECT_NE(own.find("wordTA", pane), std::string::npos) << own;
  EXPECT_EQ(own.find("parent.board"), std::string::npos) << own;
  const std::map<std::string, int> numbers = word_numbers(a().state(), 1);
  EXPECT_EQ(sent.size() + 3, numbers.size());
  for (Node* n : {&b(), &c()}) {
    ASSERT_TRUE(eventually([&] { return word_numbers(n->state(), 1).size() == numbers.size(); }));
    EXPECT_EQ(numbers, word_numbers(n->state(), 1));
  }
  ChatState::Hold ha(a().state()), hb(b().state());
  EXPECT_EQ(a().state().rings_epoch(), b().state().rings_epoch());
}

// A live stream that comes back on another node with its Last-Event-ID
// goes on after that line: the number means the same line there.
class ShortStreams : public ThreeNodes {
  void tune(ChatContext& ctx) override { ctx.stream_life_ms = 1000; }
};

TEST_F(ShortStreams, AStreamResumesOnAnotherNodeWhereItLeftOff) {
  const std::string ann = enter_place(a().port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  ASSERT_NE(chat_post(b().port(), bob, "word01", kTimeoutMs).find("word01"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return posted_words(a().state(), 1).size() == 1; }));
  const std::string first =
      http_exchange(a().port(), "GET /body.ghp" + ann + "&stream=1 HTTP/1.0\r\n\r\n", kTimeoutMs);
  ASSERT_EQ(1, count_of(first, "word01")) << first;
  const std::size_t id_at = first.rfind("id: ");
  ASSERT_NE(id_at, std::string::npos) << first;
  const std::string id = first.substr(id_at + 4, first.find('\n', id_at) - id_at - 4);
  for (const char* w : {"word02", "word03"})
    ASSERT_NE(chat_post(c().port(), bob, w, kTimeoutMs).find(w), std::string::npos);
  ASSERT_TRUE(eventually([&] { return posted_words(c().state(), 1).size() == 3; }));
  const std::string again = http_exchange(
      c().port(), "GET /body.ghp" + ann + "&stream=1 HTTP/1.0\r\nLast-Event-ID: " + id + "\r\n\r\n",
      kTimeoutMs);
  EXPECT_EQ(0, count_of(again, "word01")) << again;
  EXPECT_EQ(1, count_of(again, "word02")) << again;
  EXPECT_EQ(1, count_of(again, "word03")) << again;
  const std::map<std::string, int> numbers = word_numbers(c().state(), 1);
  ChatState::Hold hold(c().state());
  EXPECT_NE(again.find("id: " + std::to_string(c().state().rings_epoch()) + "." +
                       std::to_string(numbers.at("word03"))),
            std::string::npos)
      << again;
}

// A place that no node serves leaves once for the whole chat, when the
// presence time is over, with exactly one "left" line on every node.
class ShortPresence : public ThreeNodes {
  void tune(ChatContext& ctx) override { ctx.idle_leave_ms = 1500; }
};

TEST_F(ShortPresence, APlaceNobodyServesLeavesOnceEverywhere) {
  ASSERT_FALSE(enter_place(a().port(), "ann", 1, kTimeoutMs).empty());
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(bob.empty());
  // bob is served all along, by c and then a.
  for (Node* n : {&a(), &b(), &c()})
    ASSERT_TRUE(eventually([&] {
      (void)chat_get(n == &a() ? c().port() : a().port(), "/body.ghp" + bob, kTimeoutMs);
      return presence_lines(n->state(), 1, "ann", "left") == 1;
    }, std::chrono::seconds(20)));
  // A second "left" would come now; bob is still served meanwhile.
  for (int i = 0; i < 6; ++i) {
    (void)chat_get(c().port(), "/body.ghp" + bob, kTimeoutMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  for (Node* n : {&a(), &b(), &c()}) {
    EXPECT_EQ(1, presence_lines(n->state(), 1, "ann", "left"));
    EXPECT_EQ(0, presence_lines(n->state(), 1, "bob", "left"));
    EXPECT_EQ(1, online_count(n->state()));
  }
}

// Redis restarts empty: the nodes give back what they hold. The numbers
// go on above the last, a node started after it knows who is online, and
// the names stay taken.
TEST_F(ClusterTest, RedisThatRestartsEmptyIsGivenBackWhatTheNodesHold) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b.port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  for (const char* w : {"word01", "word02"})
    ASSERT_NE(chat_post(a.port(), ann, w, kTimeoutMs).find(w), std::string::npos);
  unsigned epoch = 0;
  {
    ChatState::Hold hold(a.state());
    epoch = a.state().rings_epoch();
  }
  // b's reader has the lines before Redis goes (a post waits for its own
  // node's ring only).
  ASSERT_TRUE(eventually([&] { return word_numbers(b.state(), 1).count("word02") == 1; }));
  redis_.stop();
  ASSERT_TRUE(redis_.start());
  ASSERT_TRUE(eventually([&] { return b.reports_with("reachable again") == 1; }));
  const std::string again = chat_post(b.port(), bob, "word03", kTimeoutMs);
  ASSERT_NE(again.find("word03"), std::string::npos) << again;
  Node& c = add_node("c");
  ASSERT_TRUE(c.start());
  ASSERT_TRUE(eventually([&] { return online_count(c.state()) == 2; }));
  for (Node* n : {&a, &b, &c}) {
    ASSERT_TRUE(eventually([&] { return word_numbers(n->state(), 1).count("word03") == 1; }));
    const std::map<std::string, int> numbers = word_numbers(n->state(), 1);
    if (n != &c) {
      EXPECT_LT(numbers.at("word02"), numbers.at("word03"));
    }
    ChatState::Hold hold(n->state());
    EXPECT_EQ(epoch, n->state().rings_epoch());
  }
  EXPECT_FALSE(mark_of(chat_get(c.port(), "/body.ghp" + ann, kTimeoutMs)).empty());
  EXPECT_NE(chat_get(c.port(), "/chat.ghp?username=ann&password=&room=1&sex=1", kTimeoutMs)
                .find("This username has logged on"),
            std::string::npos);
}

// A change of a place that Redis answers with an error (out of memory
// here) would be refused again and again: it is told and dropped, and the
// changes after it go out.
TEST_F(ClusterTest, AChangeRedisRefusesIsToldAndHoldsUpNothing) {
  Node& a = add_node("a");
  Node& b = add_node("b");
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(a.port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  ASSERT_TRUE(eventually([&] { return online_count(b.state()) == 2; }));
  RedisAddress address;
  ASSERT_TRUE(parse_redis_address(redis_.socket_path(), address));
  RedisLink link(address, "test-secret", kTimeoutMs);
  RedisReply reply;
  ASSERT_TRUE(link.command({"CONFIG", "SET", "maxmemory", "1"}, reply));
  ASSERT_FALSE(reply.is_error()) << reply.text;
  (void)chat_get(a.port(), "/exit.ghp" + ann, kTimeoutMs);
  ASSERT_TRUE(eventually([&] { return a.reports_with("was not shared") == 1; })) << ::testing::PrintToString(a.reports());
  ASSERT_TRUE(link.command({"CONFIG", "SET", "maxmemory", "0"}, reply));
  (void)chat_get(a.port(), "/exit.ghp" + bob, kTimeoutMs);
  EXPECT_TRUE(eventually([&] { return presence_lines(b.state(), 1, "bob", "left") == 1; }));
  EXPECT_EQ(0, presence_lines(b.state(), 1, "ann", "left"));
}

// A node of its own process, killed: its visitors go on through the
// others with their keys, get every line posted meanwhile once and no new
// "joined" line; the node started again reads the table and serves them.
TEST_F(ClusterTest, ANodeKilledItsVisitorsGoOnElsewhereAndItComesBack) {
  ServiceFolder folder("program/");
  ASSERT_TRUE(folder.write_options(std::string(kOpenOptions) + "port=" +
                                   std::to_string(folder.port()) +
                                   "\r\nListenAddress=127.0.0.1\r\n" + redis_.cluster_section("k")));
  folder.root().write("program/chat.htm", "chat:<!--$user-->|<!--$pass-->|");
  folder.root().write("program/body.htm", "<body><script><!--$msg--></script></body>");
  ASSERT_TRUE(write_room_file(folder.path(), {open_room("One"), open_room("Two")}));
  auto killed = std::make_unique<ChildProcess>();
  ASSERT_TRUE(folder.start_service(*killed)) << killed->err();
  Node& b = add_node("b");
  Node& c = add_node("c");
  for (Node* n : {&b, &c}) ASSERT_TRUE(n->start());
  std::string ann;
  ASSERT_TRUE(eventually([&] { return !(ann = enter_place(folder.port(), "ann", 1, kTimeoutMs)).empty(); }));
  const std::string cy = enter_place(c.port(), "cy", 1, kTimeoutMs);
  ASSERT_FALSE(cy.empty());
  ASSERT_NE(chat_post(c.port(), cy, "word01", kTimeoutMs).find("word01"), std::string::npos);
  // The post waited for c's ring only: the killed node's reader may not
  // have the line yet, so its board is asked again as the window would.
  std::string first;
  ASSERT_TRUE(eventually([&] {
    first = chat_get(folder.port(), "/body.ghp" + ann, kTimeoutMs);
    return count_of(first, "word01") > 0;
  })) << first;
  ASSERT_EQ(1, count_of(first, "word01")) << first;
  std::string mark = mark_of(first);
  ASSERT_FALSE(mark.empty());

  killed->signal(SIGKILL);
  (void)killed->wait();
  for (const char* w : {"word02", "word03"})
    ASSERT_NE(chat_post(c.port(), cy, w, kTimeoutMs).find(w), std::string::npos);
  ASSERT_TRUE(eventually([&] { return posted_words(b.state(), 1).size() == 3; }));
  const std::string on_b = chat_get(b.port(), "/body.ghp" + ann + "&seen=" + mark, kTimeoutMs);
  EXPECT_EQ(0, count_of(on_b, "word01")) << on_b;
  EXPECT_EQ(1, count_of(on_b, "word02")) << on_b;
  EXPECT_EQ(1, count_of(on_b, "word03")) << on_b;
  mark = mark_of(on_b);
  ASSERT_FALSE(mark.empty()) << on_b;
  EXPECT_NE(chat_post(b.port(), ann, "word04", kTimeoutMs).find("word04"), std::string::npos);

  auto back = std::make_unique<ChildProcess>();
  ASSERT_TRUE(folder.start_service(*back)) << back->err();
  ASSERT_NE(chat_post(c.port(), cy, "word05", kTimeoutMs).find("word05"), std::string::npos);
  std::string on_a;
  ASSERT_TRUE(eventually([&] {
    on_a = chat_get(folder.port(), "/body.ghp" + ann + "&seen=" + mark, kTimeoutMs);
    return count_of(on_a, "word05") == 1;
  })) << on_a;
  for (const char* w : {"word01", "word02", "word03", "word04"}) EXPECT_EQ(0, count_of(on_a, w)) << w;
  for (Node* n : {&b, &c}) {
    EXPECT_EQ(1, presence_lines(n->state(), 1, "ann", "joined"));
    EXPECT_EQ(0, presence_lines(n->state(), 1, "ann", "left"));
  }
  back->signal(SIGTERM);
  EXPECT_EQ(0, back->wait());
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

// Redis on an address and port, as the README's nodes reach it: a line and
// a place go from one node to the other, and a wrong password is refused.
TEST(ClusterOverTcp, NodesShareLinesThroughRedisOnALoopbackPort) {
  if (redis_server_program().empty()) GTEST_SKIP() << "redis-server is not installed";
  PrivateRedis redis("test-secret");
  redis.use_loopback_port();
  ASSERT_TRUE(redis.start());
  Node a(redis.cluster_section("a"));
  Node b(redis.cluster_section("b"));
  for (Node* n : {&a, &b}) ASSERT_TRUE(n->start());
  const std::string ann = enter_place(a.port(), "ann", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty());
  ASSERT_NE(chat_post(a.port(), ann, "word01", kTimeoutMs).find("word01"), std::string::npos);
  EXPECT_TRUE(eventually([&] { return posted_words(b.state(), 1) == std::vector<std::string>{"word01"}; }));
  EXPECT_TRUE(eventually([&] { return online_count(b.state()) == 1; }));
  RedisAddress address;
  ASSERT_TRUE(parse_redis_address(redis.address(), address));
  RedisLink wrong(address, "nope", kTimeoutMs);
  RedisReply reply;
  EXPECT_FALSE(wrong.command({"PING"}, reply));
  EXPECT_NE(wrong.why().find("refused the password"), std::string::npos) << wrong.why();
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
