// Accounts (and what else the nodes share besides lines) across the nodes
// of a chat that several servers share through a private Redis, each node
// run in this process as tvlService runs it (EngineObject) on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "cluster/cluster_move.h"
#include "chat/room_ban.h"
#include "ops/operator_command.h"
#include "tests/support/child_process.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "storage/room_store.h"
#include "service/engine_object.h"
#include "tests/support/chat_fixture.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/private_redis.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

constexpr int kTimeoutMs = 5000;

// A room guests may enter, administered by the member `admin`.
RoomInfo admin_room(const char* name, const char* admin) {
  RoomInfo r = open_room(name);
  std::strncpy(r.admin, admin, sizeof r.admin - 1);
  return r;
}

// One node: its program folder, reserved port and engine.
class DataNode {
 public:
  DataNode(const std::string& cluster_section, const std::string& bounds) {
    // The chat log is kept (Savelog=1): the cluster's log is tested too.
    std::string options = kOpenOptions;
    options.replace(options.find("Savelog=0"), 9, "Savelog=1");
    (void)write_chat_window_folder(folder_,
                                   options + bounds +
                                       "ListenAddress=127.0.0.1\r\n"
                                       "port=" + std::to_string(port_.port()) + "\r\n" +
                                       cluster_section,
                                   {admin_room("One", "boss"), open_room("Two")});
    folder_.write("images/5.gif", "G");
    engine_.set_cluster_reports([](const std::string&) {});
    engine_.load(folder_.path());
    engine_.engine().pages().context().first_poll_delay_ms = 0;
  }
  bool start() { return engine_.start_chat_server(); }
  int port() const { return port_.port(); }
  const std::string& folder() const { return folder_.path(); }
  EngineObject& object() { return engine_; }

  // The registration form's post; the answer page.
  std::string register_member(const std::string& name, const std::string& password,
                              const std::string& resume = "hello") {
    const std::string body = "UserName=" + name + "&Password=" + password + "&Password1=" +
                             password + "&Sex=1&Email=&Icon=5.gif&Resume=" + resume +
                             "&cw=1&Old=&submit1=Register";
    return http_exchange(port(),
                         "POST /registresult.htm HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body,
                         kTimeoutMs);
  }
  // Enters a room (an empty password: as a guest): the place's query,
  // empty when refused.
  std::string enter(const std::string& name, const std::string& password, int room = 1) {
    return place_query(chat_get(port(),
                                "/chat.ghp?username=" + name + "&password=" + password +
                                    "&room=" + std::to_string(room) + "&sex=1",
                                kTimeoutMs),
                       name, room);
  }
  // An operator's command given to this node, as tvlctl hands it over.
  CommandResult command(const std::vector<std::string>& args, const std::string& input = "") {
    OperatorTarget target;
    target.program_folder = folder();
    target.engine = &engine_.engine();
    return run_operator_command(args, input, target);
  }

 private:
  TestEnvironment env_;
  TempDir folder_;
  PortReservation port_;
  EngineObject engine_;
};

class ClusterDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (redis_server_program().empty()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis_.start());
    for (const char* name : {"a", "b"}) {
      nodes_.push_back(std::make_unique<DataNode>(redis_.cluster_section(name), bounds()));
      ASSERT_TRUE(nodes_.back()->start());
    }
  }
  // The bounds of the nodes' option.ini: the shipped failed-login bound
  // (5), no bound on registrations.
  virtual std::string bounds() const { return "MaxRegistrationsPerHour=0\r\n"; }
  DataNode& a() { return *nodes_[0]; }
  DataNode& b() { return *nodes_[1]; }
  // tvlctl cluster import of a node's folder: its report.
  std::string import_folder(DataNode& node) {
    RedisAddress address;
    EXPECT_TRUE(parse_redis_address(redis_.socket_path(), address));
    RedisPool pool(address, "test-secret", 2000);
    std::string report;
    Reason why;
    EXPECT_TRUE(import_into_cluster(pool, node.folder(), report, why)) << why.text;
    return report;
  }

  PrivateRedis redis_{"test-secret"};
  std::vector<std::unique_ptr<DataNode>> nodes_;
};

TEST_F(ClusterDataTest, MemberRegisteredOnOneNodeEntersOnTheOther) {
  EXPECT_NE(a().register_member("Ann", "secret1").find("successful"), std::string::npos);
  EXPECT_FALSE(b().enter("ann", "secret1").empty());
  EXPECT_TRUE(b().enter("Ann", "wrong").empty());
  // The name is an account's on every node: another registration or a guest
  // of that name is refused on the other node, and nothing went into the
  // nodes' own users/ folders.
  EXPECT_EQ(b().register_member("ANN", "x").find("successful"), std::string::npos);
  EXPECT_TRUE(b().enter("ann", "").empty());
  EXPECT_FALSE(is_regular_file(a().folder() + "users/Ann"));
  // An operator's change through b holds on a at once.
  EXPECT_EQ(b().command({"user", "set", "ann", "--disabled", "yes"}).exit_code, 0);
  EXPECT_TRUE(a().enter("Ann", "secret1").empty());
  const CommandResult shown = a().command({"user", "show", "ANN"});
  EXPECT_NE(shown.out.find("disabled: Yes"), std::string::npos) << shown.out;
}

TEST_F(ClusterDataTest, TwoNodesRegisteringAtOnceLoseNothing) {
  constexpr int kEach = 6;
  auto run = [&](DataNode& node, const std::string& prefix) {
    for (int i = 0; i < kEach; ++i) (void)node.register_member(prefix + std::to_string(i), "pw");
  };
  std::thread ta([&] { run(a(), "ana"); });
  std::thread tb([&] { run(b(), "bea"); });
  ta.join();
  tb.join();
  const std::string listed = a().command({"user", "list"}).out;
  for (const char* prefix : {"ana", "bea"})
    for (int i = 0; i < kEach; ++i)
      EXPECT_NE(listed.find(prefix + std::to_string(i) + "\n"), std::string::npos) << listed;
}

TEST_F(ClusterDataTest, FailedLoginsThroughEveryNodeCountAgainstOneBound) {
  ASSERT_NE(a().register_member("Ann", "secret1").find("successful"), std::string::npos);
  const std::string refused = "Too many failed logins";
  auto enter_page = [](DataNode& node, const std::string& password) {
    return chat_get(node.port(), "/chat.ghp?username=Ann&password=" + password + "&room=1&sex=1",
                    kTimeoutMs);
  };
  // Five wrong guesses spread over the nodes: each node saw fewer than the
  // bound, the chat saw the bound.
  for (DataNode* node : {&a(), &b(), &a(), &b(), &a()})
    EXPECT_EQ(enter_page(*node, "guess").find(refused), std::string::npos);
  for (DataNode* node : {&a(), &b()})
    EXPECT_NE(enter_page(*node, "secret1").find(refused), std::string::npos);
}

TEST_F(ClusterDataTest, GuestEntryClosedOnOneNodeIsClosedOnAll) {
  EXPECT_EQ(a().command({"guests", "close", "1"}).exit_code, 0);
  EXPECT_TRUE(b().enter("gus", "", 1).empty());
  EXPECT_FALSE(b().enter("gus", "", 2).empty());
  // Opened through the other node: open everywhere.
  EXPECT_EQ(b().command({"guests", "open", "1"}).exit_code, 0);
  EXPECT_FALSE(a().enter("gia", "", 1).empty());
  // The whole chat, closed through b and opened through a.
  EXPECT_EQ(b().command({"guests", "close"}).exit_code, 0);
  EXPECT_TRUE(a().enter("guy", "", 2).empty());
  const CommandResult room_open = a().command({"guests", "open", "2"});
  EXPECT_EQ(room_open.exit_code, 1) << room_open.out;  // the whole chat stays closed
  EXPECT_EQ(a().command({"guests", "open"}).exit_code, 0);
  EXPECT_FALSE(b().enter("guy", "", 2).empty());
}

TEST_F(ClusterDataTest, TvlctlLogAtAnyNodeShowsEveryNodesEventsOnce) {
  const std::string ann = enter_place(a().port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  ASSERT_NE(chat_post(a().port(), ann, "wordAA", kTimeoutMs).find("wordAA"), std::string::npos);
  ASSERT_NE(chat_post(b().port(), bob, "wordBB", kTimeoutMs).find("wordBB"), std::string::npos);
  auto log_at = [](DataNode& node) {
    ChildProcess p;
    if (!p.start(std::string(TAVELLA_DIST_DIR) + "/tvlctl", {"--folder", node.folder(), "log"}))
      return std::string();
    EXPECT_EQ(p.wait(), 0) << p.err();
    return p.out();
  };
  // Each node adds its rows from its own thread: they come within moments.
  std::string log;
  ASSERT_TRUE(eventually([&] {
    log = log_at(b());
    return count_of(log, "wordAA") >= 1 && count_of(log, "wordBB") >= 1;
  })) << log;
  for (DataNode* node : {&a(), &b()}) {
    log = log_at(*node);
    EXPECT_EQ(count_of(log, "wordAA"), 1) << log;
    EXPECT_EQ(count_of(log, "wordBB"), 1) << log;
    EXPECT_EQ(count_of(log, "ann"), count_of(log, "bob")) << log;  // the entries, once each
  }
}

TEST_F(ClusterDataTest, TvlctlAtAStoppedNodeActsOnTheClustersAccounts) {
  ASSERT_NE(a().register_member("otto", "pw").find("successful"), std::string::npos);
  // A third node's folder whose server is not running.
  TempDir stopped;
  ASSERT_TRUE(write_chat_window_folder(stopped, std::string(kOpenOptions) + redis_.cluster_section("c"),
                                       {open_room("One")}));
  stopped.write("users/lena", "[main]\r\npassword=pw\r\n");  // the folder's own, not the chat's
  auto tvlctl = [&](const std::vector<std::string>& args) {
    ChildProcess p;
    std::vector<std::string> all = {"--folder", stopped.path()};
    all.insert(all.end(), args.begin(), args.end());
    EXPECT_TRUE(p.start(std::string(TAVELLA_DIST_DIR) + "/tvlctl", all));
    const int status = p.wait();
    return std::make_pair(status, p.out() + p.err());
  };
  const auto listed = tvlctl({"user", "list"});
  EXPECT_EQ(listed.first, 0) << listed.second;
  EXPECT_NE(listed.second.find("otto"), std::string::npos) << listed.second;
  EXPECT_EQ(listed.second.find("lena"), std::string::npos) << listed.second;
  const auto deleted = tvlctl({"user", "del", "otto"});
  EXPECT_EQ(deleted.first, 0) << deleted.second;
  EXPECT_EQ(b().command({"user", "show", "otto"}).exit_code, 1);
}

class ClusterBoundsTest : public ClusterDataTest {
 protected:
  std::string bounds() const override { return "MaxRegistrationsPerHour=3\r\n"; }
};

TEST_F(ClusterBoundsTest, RegistrationsThroughEveryNodeCountAgainstOneBound) {
  const std::string made = "successful";
  EXPECT_NE(a().register_member("one", "pw").find(made), std::string::npos);
  EXPECT_NE(b().register_member("two", "pw").find(made), std::string::npos);
  // A registration refused for a taken name counts nothing.
  EXPECT_EQ(b().register_member("ONE", "pw").find(made), std::string::npos);
  EXPECT_NE(b().register_member("three", "pw").find(made), std::string::npos);
  const std::string over = a().register_member("four", "pw");
  EXPECT_NE(over.find("Too many new accounts"), std::string::npos) << over;
  EXPECT_EQ(b().register_member("five", "pw").find(made), std::string::npos);
}

// The names of the rooms a node's chat has, in order.
std::string room_names(DataNode& node) {
  std::string names;
  for (const RoomInfo& r : *node.object().engine().state().rooms()) names += std::string(r.name) + " ";
  return names;
}

TEST_F(ClusterDataTest, RoomsChangedThroughTwoNodesAtOnceHoldOnBoth) {
  // Before the rooms are moved in, the cluster refuses room changes and
  // each node keeps its own rooms.sdb.
  const CommandResult early = a().command({"room", "add", "Early"});
  EXPECT_EQ(early.exit_code, 1);
  EXPECT_NE(early.err.find("cluster import"), std::string::npos) << early.err;
  const std::string report = import_folder(a());
  EXPECT_NE(report.find("rooms imported: 2"), std::string::npos) << report;

  constexpr int kEach = 5;
  auto run = [&](DataNode& node, const std::string& prefix) {
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(node.command({"room", "add", prefix + std::to_string(i)}).exit_code, 0);
  };
  std::thread ta([&] { run(a(), "Ra"); });
  std::thread tb([&] { run(b(), "Rb"); });
  ta.join();
  tb.join();
  // A change through b: room 1 closed to guests, seen on a.
  EXPECT_EQ(b().command({"room", "set", "1", "--guests", "no"}).exit_code, 0);
  EXPECT_EQ(a().command({"room", "del", "2"}).exit_code, 0);
  const std::string listed = b().command({"room", "list"}).out;
  for (const char* prefix : {"Ra", "Rb"})
    for (int i = 0; i < kEach; ++i)
      EXPECT_NE(listed.find(prefix + std::to_string(i)), std::string::npos) << listed;
  EXPECT_EQ(listed.find("\tTwo\t"), std::string::npos) << listed;
  ASSERT_TRUE(eventually([&] { return room_names(a()) == room_names(b()); })) << room_names(b());
  EXPECT_EQ(room_names(a()).rfind("One ", 0), 0u) << room_names(a());
  EXPECT_EQ(room_names(a()).size(), std::string("One ").size() + 2 * kEach * 4);
  EXPECT_FALSE((*b().object().engine().state().rooms())[0].guest);
  // A guest is turned away from room 1 on both nodes now.
  EXPECT_TRUE(a().enter("zed", "").empty());
}

// Lines of the room that name `name` and say `what` ("joined", "left").
int presence_lines(DataNode& node, int room, const std::string& name, const char* what) {
  int n = 0;
  for (const std::string& text : kept_texts(node.object().engine().state(), room))
    if (text.find(name) != std::string::npos && text.find(what) != std::string::npos) ++n;
  return n;
}

// Whether `name` has a place in `room` of the node's table, and whether it
// is banned there.
bool has_place(DataNode& node, int room, const std::string& name) {
  ChatState& state = node.object().engine().state();
  ChatState::Hold hold(state);
  return find_visitor_in_room(state, room, name).has_value();
}
bool place_is_banned(DataNode& node, int room, const std::string& name) {
  ChatState& state = node.object().engine().state();
  ChatState::Hold hold(state);
  const std::optional<int> at = find_visitor_in_room(state, room, name);
  return at && !state.user(*at).active;
}

// tvlctl kick and ban given to one node act on a visitor that the other
// node serves: the change goes through the room's stream, every node
// applies it, and its line stands once on each.
TEST_F(ClusterDataTest, KickAndBanThroughOneNodeActOnAVisitorOfTheOther) {
  const std::string ann = enter_place(b().port(), "ann", 1, kTimeoutMs);
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(ann.empty() || bob.empty());
  ASSERT_TRUE(eventually([&] { return has_place(a(), 1, "ann") && has_place(a(), 1, "bob"); }));

  const CommandResult kicked = a().command({"kick", "ANN"});
  EXPECT_EQ(kicked.exit_code, 0) << kicked.err;
  for (DataNode* node : {&a(), &b()}) {
    ASSERT_TRUE(eventually([&] { return presence_lines(*node, 1, "ann", "left") == 1; }));
    EXPECT_FALSE(has_place(*node, 1, "ann"));
  }
  // ann's window on b no longer reads the room, and its key opens nothing.
  EXPECT_EQ(chat_get(b().port(), "/body.ghp" + ann, kTimeoutMs).find("word"), std::string::npos);
  EXPECT_NE(chat_get(b().port(), "/chat.ghp" + ann + "&sex=1", kTimeoutMs).find("has ended"),
            std::string::npos);
  EXPECT_EQ(a().command({"kick", "ann"}).exit_code, 1);  // nobody of that name is left

  const CommandResult banned = a().command({"ban", "1", "bob"});
  EXPECT_EQ(banned.exit_code, 0) << banned.err;
  ASSERT_TRUE(eventually([&] { return place_is_banned(b(), 1, "bob"); }));
  EXPECT_TRUE(place_is_banned(a(), 1, "bob"));
  EXPECT_NE(chat_get(b().port(), "/body.ghp" + bob, kTimeoutMs).find("You have been banned"),
            std::string::npos);
  EXPECT_NE(chat_post(b().port(), bob, "wordBB", kTimeoutMs).find("You have been banned"),
            std::string::npos);
  for (DataNode* node : {&a(), &b()})
    for (const std::string& text : kept_texts(node->object().engine().state(), 1))
      EXPECT_EQ(text.find("wordBB"), std::string::npos) << text;
}

// The input form's room command (1 ban, 2 unban) of `query`'s place.
std::string room_command(int port, const std::string& query, int command, const std::string& whom) {
  const std::string body = "message=&chat_flag=1&mtowho=" + whom + "&mfilters=" +
                           std::to_string(command) + "&mfont=-1&mfcolor=1&elist=0&seltype=0&msg=";
  return http_exchange(port,
                       "POST /chatsubmit.ghp" + query +
                           " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body,
                       kTimeoutMs);
}

// A room ban set through one node holds on every node, also after the
// banned visitor left: entering again through another node, under the
// name or from the banned network, gives a banned place; a node that
// starts later reads the bans; lifted through the input form of the other
// node, it is lifted everywhere.
TEST_F(ClusterDataTest, RoomBansHoldForTheWholeCluster) {
  ASSERT_EQ(a().command({"user", "add", "boss", "--password-stdin"}, "bosspw\n").exit_code, 0);
  const std::string boss = a().enter("boss", "bosspw");
  const std::string bob = enter_place(b().port(), "bob", 1, kTimeoutMs);
  ASSERT_FALSE(boss.empty() || bob.empty());
  ASSERT_TRUE(eventually([&] { return has_place(a(), 1, "bob"); }));
  ASSERT_EQ(a().command({"ban", "1", "bob"}).exit_code, 0);
  ASSERT_TRUE(eventually([&] { return place_is_banned(b(), 1, "bob"); }));
  EXPECT_NE(chat_get(b().port(), "/exit.ghp" + bob, kTimeoutMs).find("logged out"),
            std::string::npos);
  ASSERT_TRUE(eventually([&] { return !has_place(a(), 1, "bob") && !has_place(b(), 1, "bob"); }));

  DataNode late(redis_.cluster_section("c"), bounds());
  ASSERT_TRUE(late.start());
  // It has read what Redis holds once the room's lines are in.
  ASSERT_TRUE(eventually([&] { return presence_lines(late, 1, "bob", "left") == 1; }));
  // Back through b and through the late node: banned by name in any case,
  // and by network under another name; the other room is free.
  const struct {
    DataNode* node;
    const char* name;
    int room;
    bool banned;
  } entries[] = {{&b(), "BOB", 1, true}, {&late, "zed", 1, true}, {&late, "ray", 2, false}};
  for (const auto& e : entries) {
    const std::string query = place_query(
        chat_get(e.node->port(),
                 std::string("/chat.ghp?username=") + e.name + "&password=&room=" +
                     std::to_string(e.room) + "&sex=1",
                 kTimeoutMs),
        e.name, e.room);
    ASSERT_FALSE(query.empty()) << e.name;
    EXPECT_EQ(e.banned, place_is_banned(*e.node, e.room, e.name)) << e.name;
    EXPECT_EQ(e.banned, chat_get(e.node->port(), "/body.ghp" + query, kTimeoutMs)
                                .find("You have been banned") != std::string::npos)
        << e.name;
    (void)chat_get(e.node->port(), "/exit.ghp" + query, kTimeoutMs);
  }

  // Redis restarts empty: the nodes give the ban back, and a node started
  // after that reads it.
  redis_.stop();
  ASSERT_TRUE(redis_.start());
  RedisAddress address;
  ASSERT_TRUE(parse_redis_address(redis_.socket_path(), address));
  RedisLink link(address, "test-secret", 2000);
  ASSERT_TRUE(eventually([&] {
    RedisReply bans;
    return link.command({"HLEN", "tvl:bans"}, bans) && bans.integer == 1;
  }));
  DataNode later(redis_.cluster_section("d"), bounds());
  ASSERT_TRUE(later.start());
  ASSERT_TRUE(eventually([&] {  // its first contact with Redis is made
    ChatState& state = later.object().engine().state();
    ChatState::Hold hold(state);
    return state.shared_epoch();
  }));
  const std::string zed = place_query(
      chat_get(later.port(), "/chat.ghp?username=zed&password=&room=1&sex=1", kTimeoutMs), "zed", 1);
  ASSERT_FALSE(zed.empty());
  EXPECT_TRUE(place_is_banned(later, 1, "zed"));
  (void)chat_get(later.port(), "/exit.ghp" + zed, kTimeoutMs);

  // boss lifts the ban through a's input form: bob enters b unbanned.
  EXPECT_NE(room_command(a().port(), boss, 2, "bob").find("unbanned"), std::string::npos);
  std::string again;
  ASSERT_TRUE(eventually([&] {
    again = enter_place(b().port(), "bob", 1, kTimeoutMs);
    const bool banned = !again.empty() && place_is_banned(b(), 1, "bob");
    if (!again.empty()) (void)chat_get(b().port(), "/exit.ghp" + again, kTimeoutMs);
    return !again.empty() && !banned;
  }));
}

// The names of the rooms of a folder's rooms.sdb, in order.
std::string file_room_names(const std::string& folder) {
  std::vector<RoomRow> rows;
  std::string names;
  if (!list_room_rows(folder, rows)) return "(none)";
  for (const RoomRow& r : rows) names += r.name + " ";
  return names;
}

// Redis restarts empty: every node kept a copy of the accounts and rooms
// in its folder, in the single server's formats, and one of them gives it
// back; changes made through either node are all there again, and an
// account deleted before is not.
TEST_F(ClusterDataTest, AccountsAndRoomsOutliveARedisThatRestartsEmpty) {
  (void)import_folder(a());
  RedisAddress address;
  ASSERT_TRUE(parse_redis_address(redis_.socket_path(), address));
  ASSERT_NE(a().register_member("Ann", "secret1").find("successful"), std::string::npos);
  ASSERT_NE(b().register_member("Bea", "secret2").find("successful"), std::string::npos);
  ASSERT_NE(b().register_member("zed", "secret3").find("successful"), std::string::npos);
  EXPECT_EQ(b().command({"user", "set", "ann", "--email", "ann@example.org"}).exit_code, 0);
  EXPECT_EQ(a().command({"user", "del", "zed"}).exit_code, 0);
  EXPECT_EQ(a().command({"room", "add", "Ra"}).exit_code, 0);
  EXPECT_EQ(b().command({"room", "add", "Rb"}).exit_code, 0);
  // Each copy has what was made through the other node too (and not zed).
  for (DataNode* node : {&a(), &b()}) {
    const std::string copy = node->folder() + "cluster-copy/";
    ASSERT_TRUE(eventually([&] {
      return is_regular_file(copy + "users/Ann") && is_regular_file(copy + "users/Bea") &&
             !is_regular_file(copy + "users/zed") &&
             get_profile_string("main", "email", "", 256, copy + "users/Ann") ==
                 "ann@example.org" &&
             file_room_names(copy) == "One Two Ra Rb ";
    })) << node->folder() << ": " << file_room_names(copy) << "| "
        << ::testing::PrintToString(find_files(copy + "users/*")) << " "
        << get_profile_string("main", "email", "", 256, copy + "users/Ann");
  }

  redis_.stop();
  ASSERT_TRUE(redis_.start());  // empty
  // Asked before they are back, the logins would count as failures.
  RedisLink link(address, "test-secret", 2000);
  ASSERT_TRUE(eventually([&] {
    RedisReply accounts, rooms;
    return link.command({"HLEN", "tvl:accounts"}, accounts) && accounts.integer >= 2 &&
           link.command({"ZCARD", "tvl:rooms"}, rooms) && rooms.integer == 4;
  }, std::chrono::seconds(10)));
  for (DataNode* node : {&a(), &b()}) {
    EXPECT_FALSE(node->enter("Bea", "secret2").empty()) << node->folder();
    EXPECT_FALSE(node->enter("ann", "secret1").empty()) << node->folder();
    EXPECT_TRUE(node->enter("zed", "secret3").empty()) << node->folder();
  }
  const CommandResult shown = b().command({"user", "show", "Ann"});
  EXPECT_NE(shown.out.find("ann@example.org"), std::string::npos) << shown.out;
  const std::string rooms = a().command({"room", "list"}).out;
  for (const char* name : {"One", "Two", "Ra", "Rb"})
    EXPECT_NE(rooms.find(name), std::string::npos) << rooms;
  // The copies stay whole meanwhile, and a change after goes on into them.
  EXPECT_EQ(a().command({"room", "del", "3"}).exit_code, 0);
  for (DataNode* node : {&a(), &b()}) {
    const std::string copy = node->folder() + "cluster-copy/";
    EXPECT_TRUE(is_regular_file(copy + "users/Ann"));
    EXPECT_TRUE(eventually([&] { return file_room_names(copy) == "One Two Rb "; }))
        << file_room_names(copy);
  }
}

// Redis restarts empty: guest entry closed through a stays closed on both
// nodes, one opened through b before stays open, and an account locked out
// by failures spread over both nodes stays locked out (neither node saw the
// bound alone).
TEST_F(ClusterDataTest, ClosedGuestEntryAndALockoutOutliveARedisThatRestartsEmpty) {
  ASSERT_NE(a().register_member("Ann", "secret1").find("successful"), std::string::npos);
  const std::string refused = "Too many failed logins";
  auto ann_refused = [&](DataNode& node) {
    return chat_get(node.port(), "/chat.ghp?username=Ann&password=secret1&room=1&sex=1",
                    kTimeoutMs)
               .find(refused) != std::string::npos;
  };
  for (DataNode* node : {&a(), &b(), &a(), &b(), &a()})
    (void)node->enter("Ann", "guess");
  ASSERT_TRUE(ann_refused(a()) && ann_refused(b()));
  EXPECT_EQ(a().command({"guests", "close", "1"}).exit_code, 0);
  EXPECT_EQ(a().command({"guests", "close", "2"}).exit_code, 0);
  EXPECT_EQ(b().command({"guests", "open", "2"}).exit_code, 0);
  // a's copy looks at Redis every second: it learns that room 2 opened
  // (what it gives back is what it last saw).
  ASSERT_TRUE(eventually([&] {
    SharedCounters* counters = a().object().cluster_membership().counters();
    return counters && counters->remembers_closed("one") && !counters->remembers_closed("two");
  }));

  redis_.stop();
  ASSERT_TRUE(redis_.start());  // empty
  RedisAddress address;
  ASSERT_TRUE(parse_redis_address(redis_.socket_path(), address));
  RedisLink link(address, "test-secret", 2000);
  // Given back once both nodes saw the marker go (each gives back its own).
  ASSERT_TRUE(eventually([&] {
    RedisReply r, keys;
    if (!link.command({"SISMEMBER", "tvl:guests-closed", "room:one"}, r) || r.integer != 1 ||
        !link.command({"KEYS", "tvl:fail:*"}, keys))
      return false;
    for (const RedisReply& key : keys.items)
      if (link.command({"GET", key.text}, r) && std::atoi(r.text.c_str()) >= 5) return true;
    return false;
  }));
  for (DataNode* node : {&a(), &b()}) {
    EXPECT_TRUE(node->enter("gus", "", 1).empty()) << node->folder();
    EXPECT_TRUE(ann_refused(*node)) << node->folder();
  }
  EXPECT_FALSE(b().enter("gia", "", 2).empty());
}

}  // namespace
}  // namespace tvl::test
