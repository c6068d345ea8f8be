// The cluster layer's pieces: the stream entry of a shared line and its
// ids, where a received private line goes, and the nodes' status as
// tvlctl shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "chat/account_guard.h"
#include "cluster/cluster_copy.h"
#include "cluster/cluster_node.h"
#include "cluster/node_registry.h"
#include "cluster/redis_link.h"
#include "cluster/shared_accounts.h"
#include "cluster/shared_counters.h"
#include "cluster/shared_entry.h"
#include "platform/fs.h"
#include "platform/lock_annotations.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/private_redis.h"

namespace tvl::test {
namespace {

// The fields of an XADD command from the field name on (after "*").
std::vector<std::string> entry_fields(const std::vector<std::string>& xadd) {
  const auto star = std::find(xadd.begin(), xadd.end(), "*");
  return std::vector<std::string>(star + 1, xadd.end());
}

TEST(SharedEntryTest, ALineSurvivesItsEntryAndBadEntriesAreSkipped) {
  SharedLine line;
  line.room = 2;
  const char text[] = "<b>a\0b</b> & \xc3\xa9";  // a NUL and UTF-8 inside
  line.text = std::string(text, sizeof text - 1);
  line.to_whom = "bob";
  line.to_place = ~0ULL;
  line.from_place = 42;
  const std::vector<std::string> xadd = xadd_command("Lobby", "n1", line);
  EXPECT_EQ("tvl:lines:Lobby", xadd[1]);
  EntryLine back;
  ASSERT_TRUE(read_entry(entry_fields(xadd), back));
  EXPECT_EQ("n1", back.node);
  EXPECT_EQ(line.text, back.line.text);
  EXPECT_EQ("bob", back.line.to_whom);
  EXPECT_EQ(~0ULL, back.line.to_place);
  EXPECT_EQ(42u, back.line.from_place);

  const std::vector<std::vector<std::string>> bad = {
      {"n", "x", "t", "y", "w", "All", "p", "0"},                 // no f
      {"n", "x", "t", "y", "w", "All", "p", "-1", "f", "0"},      // not a number
      {"n", "x", "t", "y", "w", "All", "p", "0", "f", "1e3"},
      {"n", "x", "t", "y", "w", "All", "p", "0", "f"},            // odd
      {"n", "x", "t", "y", "w", "All", "p", "99999999999999999999", "f", "0"},  // too big
  };
  for (const auto& fields : bad) {
    EntryLine e;
    e.node = "kept";
    EXPECT_FALSE(read_entry(fields, e)) << fields[7];
    EXPECT_EQ("kept", e.node);
  }
}

TEST(SharedEntryTest, StreamIdsCompareInStreamOrder) {
  StreamId a, b, c;
  ASSERT_TRUE(parse_stream_id("1700000000000-5", a));
  ASSERT_TRUE(parse_stream_id("1700000000000-12", b));
  ASSERT_TRUE(parse_stream_id("1700000000001-0", c));
  EXPECT_TRUE(a < b);  // numerically, not as text
  EXPECT_TRUE(b < c);
  EXPECT_FALSE(b < a);
  EXPECT_EQ("1700000000000-12", b.text());
  for (const char* bad : {"", "12", "-3", "1-", "a-1", "1-2-3"}) {
    StreamId id;
    EXPECT_FALSE(parse_stream_id(bad, id)) << bad;
  }
}

TEST(SharedEntryTest, PlacesOfAReceivedLine) {
  struct Case {
    const char* what;
    unsigned long long sent_to, sent_from;
    bool own, private_line;
    unsigned long long local_addressee;
    unsigned long long to_place, from_place;
  } cases[] = {
      {"own line to all", 0, 7, true, false, 0, 0, 7},
      {"own private, addressee here", 9, 7, true, true, 9, 9, 7},
      {"own private, addressee nowhere", ~0ULL, 7, true, true, 0, ~0ULL, 7},
      // Place ids are the cluster's: the sender's place is skipped on every
      // node, and the place the poster found is the addressee's everywhere.
      {"other's line to all", 0, 7, false, false, 0, 0, 7},
      {"other's private, addressee found by the poster", 9, 7, false, true, 3, 9, 7},
      {"other's private, poster did not know the addressee yet", ~0ULL, 7, false, true, 3, 3, 7},
      {"other's private, addressee nowhere", ~0ULL, 7, false, true, 0, ~0ULL, 7},
  };
  for (const Case& c : cases) {
    SharedLine line;
    line.to_place = c.sent_to;
    line.from_place = c.sent_from;
    const LocalPlaces p = local_places(line, c.own, c.private_line, c.local_addressee);
    EXPECT_EQ(c.to_place, p.to_place) << c.what;
    EXPECT_EQ(c.from_place, p.from_place) << c.what;
  }
}

// The fields of a stream write's entry (after the script's six keys and
// six first arguments), with the number the script puts first.
std::vector<std::string> write_fields(const std::vector<std::string>& eval, int seq) {
  std::vector<std::string> fields = {"s", std::to_string(seq)};
  fields.insert(fields.end(), eval.begin() + 3 + 6 + 6, eval.end());
  return fields;
}

TEST(SharedEntryTest, EntriesOfPlacesAndTheirRecordsSurviveTheTrip) {
  SharedPlace p;
  p.id = (5ULL << 40) + 3;
  p.room_name = "Lob\nby";
  p.name = "ann%20b";
  p.icon = "3.gif";
  p.digest = std::string(64, 'f');
  p.name_fold = "ann b";
  p.skeleton = "arm b";
  p.address = "10.0.0.1";
  p.member = true;
  p.active = false;
  p.online_since = 1700000000;
  p.ban_left_ms = 4500;
  p.split = true;
  StreamWrite w;
  w.room_name = p.room_name;
  w.kind = "e";
  w.line = "<b>ann joined</b>";
  w.place = p;
  const std::vector<std::string> eval = stream_write_command(w, "n1 ab");
  EXPECT_EQ("tvl:lines:Lob\nby", eval[3]);
  EXPECT_EQ("1", eval[11]);    // numbered: it carries a line
  EXPECT_EQ("set", eval[12]);  // the record is written
  StreamEntry e;
  ASSERT_TRUE(read_stream_entry(write_fields(eval, 17), e));
  EXPECT_EQ("e", e.kind);
  EXPECT_EQ(17, e.seq);
  EXPECT_EQ("n1 ab", e.node);
  EXPECT_EQ(w.line, e.line.text);
  EXPECT_EQ("All", e.line.to_whom);
  SharedPlace back;
  ASSERT_TRUE(read_place_record(eval[14], back));
  for (const SharedPlace* q : {&e.place, &back}) {
    EXPECT_EQ(p.id, q->id);
    EXPECT_EQ(p.name, q->name);
    EXPECT_EQ(p.digest, q->digest);
    EXPECT_EQ(p.skeleton, q->skeleton);
    EXPECT_EQ(p.address, q->address);
    EXPECT_TRUE(q->member);
    EXPECT_FALSE(q->active);
    EXPECT_EQ(p.online_since, q->online_since);
    EXPECT_EQ(p.ban_left_ms, q->ban_left_ms);
    EXPECT_TRUE(q->split);
  }
  EXPECT_EQ(p.room_name, back.room_name);
  // A leave deletes the record; a line carries no place and no record.
  w.kind = "x";
  EXPECT_EQ("del", stream_write_command(w, "n1")[12]);
  StreamWrite line;
  line.room_name = "Lobby";
  line.line = "hi";
  line.floor = 41;
  const std::vector<std::string> said = stream_write_command(line, "n1");
  EXPECT_EQ("41", said[10]);
  EXPECT_EQ("", said[12]);
  ASSERT_TRUE(read_stream_entry(write_fields(said, 42), e));
  EXPECT_EQ("l", e.kind);

  // What no server wrote is skipped.
  const std::vector<std::vector<std::string>> bad = {
      {"k", "l", "n", "x", "t", "y", "w", "All", "p", "0", "f", "0"},  // no number
      {"s", "1", "k", "q", "n", "x", "t", "y", "w", "All", "p", "0", "f", "0"},  // no such kind
      {"s", "1", "k", "e", "n", "x", "t", "y", "w", "All", "p", "0", "f", "0"},  // no place
      {"s", "1", "k", "e", "n", "x", "t", "y", "w", "All", "p", "0", "f", "0", "i", "0", "a", "z"},
      {"s", "-1", "k", "l", "n", "x", "t", "y", "w", "All", "p", "0", "f", "0"},
      {"s", "0", "k", "b", "n", "x", "t", "", "w", "All", "p", "0", "f", "0"},  // no name
      {"s", "0", "k", "b", "n", "x", "t", "", "w", "All", "p", "0", "f", "0", "bn", "z", "bl", "-5"},
  };
  for (const auto& fields : bad) {
    StreamEntry skipped;
    EXPECT_FALSE(read_stream_entry(fields, skipped)) << fields[3];
  }
  std::vector<std::string> parts;
  for (const char* text : {"3:ab", "x", "2ab", "9:ab"}) EXPECT_FALSE(decode_fields(text, parts)) << text;
  const std::vector<std::string> odd = {"", std::string("a\0:b", 4), "12:"};
  ASSERT_TRUE(decode_fields(encode_fields(odd), parts));
  EXPECT_EQ(odd, parts);
}

// A room ban and its lifting travel with the name, the join address and the
// time left, and name the field of tvl:bans that the script sets or drops.
TEST(SharedEntryTest, EntriesOfRoomBansSurviveTheTrip) {
  const struct {
    const char* kind;
    const char* op;
    long long left_ms;
  } cases[] = {{"b", "ban", 90000}, {"b", "ban", 0}, {"r", "unban", 0}};
  for (const auto& c : cases) {
    StreamWrite w;
    w.room_name = "Lobby";
    w.kind = c.kind;
    w.line.clear();
    w.ban.name = "ANN%20B";
    w.ban.address = "10.0.0.7";
    w.ban.left_ms = c.left_ms;
    const std::vector<std::string> eval = stream_write_command(w, "n1 ab");
    EXPECT_EQ(kBansKey, eval[8]) << c.kind;
    EXPECT_EQ("0", eval[11]) << c.kind;  // no line, no number
    EXPECT_EQ(c.op, eval[12]) << c.kind;
    EXPECT_EQ(ban_field("LOBBY", "ann%20b"), eval[13]) << c.kind;  // folded
    EXPECT_EQ(std::to_string(c.left_ms) + " 10.0.0.7", eval[14]) << c.kind;
    StreamEntry e;
    ASSERT_TRUE(read_stream_entry(write_fields(eval, 0), e)) << c.kind;
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(w.ban.name, e.ban.name);
    EXPECT_EQ(w.ban.address, e.ban.address);
    EXPECT_EQ(c.left_ms, e.ban.left_ms);
    EXPECT_TRUE(e.line.text.empty());
  }
}

class NodeRegistryTest : public WithPrivateRedis {
 protected:
  // A node of the private Redis that beats every 20 ms and claims names
  // without grace.
  ClusterNode::Options node_options(const char* node) const {
    ClusterNode::Options o;
    o.address = address_;
    o.password = "pw";
    o.node = node;
    o.heartbeat_ms = 20;
    o.claim_grace_ms = 0;
    return o;
  }
};

TEST_F(NodeRegistryTest, StatusListsLiveHeartbeatsAndForgetsExpiredOnes) {
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  ASSERT_TRUE(link.command({"SET", node_key("b"), "3 1000", "EX", "60"}, r));
  ASSERT_TRUE(link.command({"SET", node_key("a"), "1 990", "EX", "60"}, r));
  ASSERT_TRUE(link.command({"SADD", kNodesKey, "a", "b", "dead"}, r));
  std::string text;
  ASSERT_TRUE(cluster_status_text(link, 1005, text));
  EXPECT_EQ("Redis " + redis_.socket_path() +
                ": reachable\nnode a: 1 visitor, heartbeat 15 s ago\n"
                "node b: 3 visitors, heartbeat 5 s ago\n",
            text);
  ASSERT_TRUE(link.command({"SISMEMBER", kNodesKey, "dead"}, r));
  EXPECT_EQ(0, r.integer);
  redis_.stop();
  EXPECT_FALSE(cluster_status_text(link, 1005, text));
  EXPECT_NE(text.find(": away ("), std::string::npos) << text;
}

// Name claims between two nodes of one Redis, with a short heartbeat and
// no grace, on chat states of their own.
TEST_F(NodeRegistryTest, ANameLeftOnOneNodeIsFreeForTheOtherAndStaysWhileOnline) {
  ChatState here, there;
  for (ChatState* s : {&here, &there}) s->replace_rooms({open_room("One"), open_room("Two")});
  auto options = [&](const char* node) { return node_options(node); };
  ClusterNode a(here, options("a"), nullptr), b(there, options("b"), nullptr);
  a.start();
  b.start();
  // Claimed by a while its visitor is online there, for a's room One only.
  {
    ChatState::Hold hold(here);
    OnlineUser ann;
    copy_field(ann.name, "ann");
    ann.name_fold = "ann";
    ann.skeleton = "ann";  // claims are for the skeleton (lookalikes too)
    ann.room = 1;
    ann.place_id = 1;
    ASSERT_TRUE(here.add_user(ann));
  }
  EXPECT_EQ(NameClaim::Ours, a.claim("One", "ann"));
  EXPECT_EQ(NameClaim::Ours, a.claim("One", "ann"));  // again: still a's
  EXPECT_EQ(NameClaim::Elsewhere, b.claim("One", "ann"));
  EXPECT_EQ(NameClaim::Ours, b.claim("Two", "ann"));
  // Many heartbeats later it is still a's: the online name is renewed, not
  // given up.
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  ASSERT_TRUE(eventually([&] {
    return link.command({"GET", node_key("a")}, r) && r.kind == RedisReply::Kind::String;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // about ten rounds
  EXPECT_EQ(NameClaim::Elsewhere, b.claim("One", "ann"));
  // The visitor leaves a: the next round gives the name up.
  {
    ChatState::Hold hold(here);
    here.remove_user(0);
  }
  EXPECT_TRUE(eventually([&] { return b.claim("One", "ann") == NameClaim::Ours; }));
  EXPECT_EQ(NameClaim::Elsewhere, a.claim("One", "ann"));
  // A stopped node's claims are gone at once.
  b.stop();
  EXPECT_EQ(NameClaim::Ours, a.claim("Two", "ann"));
  EXPECT_EQ(NameClaim::Unreachable, b.claim("One", "zed"));  // stopped: claims nothing
}

// Renewal in batches: more names online than one command renews, one of
// them another node's. Every name of the node comes back after Redis lost
// them all; the other node's name stays its own until it is free.
TEST_F(NodeRegistryTest, RenewalReclaimsEveryOnlineNameAcrossBatchesAndLeavesOthersNames) {
  ChatState here;
  here.replace_rooms({open_room("One")});
  constexpr int kNames = 450;  // more than two batches
  here.set_max_online(kNames);
  {
    ChatState::Hold hold(here);
    for (int i = 0; i < kNames; ++i) {
      OnlineUser u;
      copy_field(u.name, "u" + std::to_string(i));
      u.name_fold = "u" + std::to_string(i);
      u.skeleton = u.name_fold;
      u.room = 1;
      u.place_id = static_cast<unsigned long long>(i) + 1;
      ASSERT_TRUE(here.add_user(u));
    }
  }
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  const auto key_of = [](int i) { return name_key(name_claim("One", "u" + std::to_string(i))); };
  ASSERT_TRUE(link.command({"SET", key_of(7), "b", "EX", "60"}, r));
  ClusterNode::Options o = node_options("a");
  ClusterNode a(here, o, nullptr);
  a.start();
  // Whose each name is: how many are a's, and u7's holder.
  const auto held_by_a = [&](std::string& u7) {
    int mine = 0;
    for (int i = 0; i < kNames; ++i) {
      if (!link.command({"GET", key_of(i)}, r)) return -1;
      if (i == 7) u7 = r.text;
      if (r.kind == RedisReply::Kind::String && r.text == "a") ++mine;
    }
    return mine;
  };
  std::string u7;
  EXPECT_TRUE(eventually([&] { return held_by_a(u7) == kNames - 1; }));
  EXPECT_EQ("b", u7);
  ASSERT_TRUE(link.command({"FLUSHALL"}, r));
  EXPECT_TRUE(eventually([&] { return held_by_a(u7) == kNames; }));
  EXPECT_EQ("a", u7);
  a.stop();
}

// How many times Redis ran `command` since its counts were last reset
// (INFO commandstats counts the commands that scripts run too); -1 when it
// could not be asked.
long long command_calls(RedisLink& link, const std::string& command) {
  RedisReply r;
  if (!link.command({"INFO", "commandstats"}, r) || r.is_error()) return -1;
  const std::string key = "cmdstat_" + command + ":calls=";
  const std::size_t at = r.text.find(key);
  return at == std::string::npos ? 0 : std::atoll(r.text.c_str() + at + key.size());
}

// A node's rounds on a frozen chat clock: 20 places served here (claimed by
// the node's first renewal) and 20 served by another node "b" (claims b
// holds), counted by the commands Redis runs over a bounded number of
// heartbeat rounds (each round adds the node to tvl:nodes: one SADD).
TEST_F(NodeRegistryTest, RoundsStampAServedPlaceOncePerQuarterPresenceAndRenewOnlyOwnClaims) {
  constexpr int kServed = 20, kElsewhere = 20;
  constexpr long long kPresenceMs = 60000;
  ChatState here;
  here.replace_rooms({open_room("One")});
  std::atomic<long long> clock{1000000};
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  const auto key_of = [](int i) { return name_key(name_claim("One", "u" + std::to_string(i))); };
  const auto holder = [&](int i) {
    return link.command({"GET", key_of(i)}, r) && r.kind == RedisReply::Kind::String ? r.text
                                                                                     : "";
  };
  {
    ChatState::Hold hold(here);
    for (int i = 0; i < kServed + kElsewhere; ++i) {
      OnlineUser u;
      copy_field(u.name, "u" + std::to_string(i));
      u.name_fold = u.skeleton = "u" + std::to_string(i);
      u.room = 1;
      u.place_id = static_cast<unsigned long long>(i) + 1;
      if (i < kServed) u.last_active_ms = clock.load();
      ASSERT_TRUE(here.add_user(u));
      if (i >= kServed) {
        ASSERT_TRUE(link.command({"SET", key_of(i), "b", "EX", "60"}, r));
      }
    }
  }
  ClusterNode::Options o = node_options("a");
  o.presence_ms = kPresenceMs;
  o.now_ms = [&clock] { return clock.load(); };
  ClusterNode a(here, o, nullptr);
  // Runs `rounds` more heartbeat rounds from a reset of the counts.
  const auto run_rounds = [&](int rounds) {
    EXPECT_TRUE(link.command({"CONFIG", "RESETSTAT"}, r));
    EXPECT_TRUE(eventually([&] { return command_calls(link, "sadd") >= rounds; }));
  };
  a.start();
  // The first rounds stamp every place (Redis had no stamp of the others)
  // and claim the names that were free.
  ASSERT_TRUE(eventually([&] {
    return link.command({"HLEN", kSeenKey}, r) && r.integer == kServed + kElsewhere &&
           holder(kServed - 1) == "a";
  }));

  run_rounds(40);
  const long long rounds = command_calls(link, "sadd");
  // The served places' stamps are fresh on the frozen clock: none again
  // (each round stamped each of them before).
  EXPECT_EQ(0, command_calls(link, "hset"));
  // Only the node's own claims are renewed, every tenth round; b's are
  // left to b (every name of the table every fifth round was 8 times this).
  const long long gets = command_calls(link, "get");
  EXPECT_GE(gets, kServed);
  EXPECT_LE(gets, kServed * (rounds / 10 + 2)) << rounds << " rounds";
  EXPECT_EQ("a", holder(0));
  EXPECT_EQ("b", holder(kServed));

  // A quarter of the presence time later, with the places still served,
  // each is stamped once more, whatever the rounds.
  {
    ChatState::Hold hold(here);
    clock += kPresenceMs / 4;
    for (int i = 0; i < kServed; ++i) here.user(i).last_active_ms = clock.load();
  }
  run_rounds(40);
  EXPECT_EQ(kServed, command_calls(link, "hset"));

  // b's claim of a place a serves lapses (b was killed): a takes it over
  // within a few renewals; the claims of places a does not serve stay free.
  {
    ChatState::Hold hold(here);
    here.user(kServed).last_active_ms = clock.load();
  }
  ASSERT_TRUE(link.command({"DEL", key_of(kServed), key_of(kServed + 1)}, r));
  EXPECT_TRUE(eventually([&] { return holder(kServed) == "a"; }));
  run_rounds(40);
  EXPECT_EQ("", holder(kServed + 1));

  // Redis emptied under the node's connections: the claims, the epoch, the
  // table and the served places' stamps come back.
  ASSERT_TRUE(link.command({"FLUSHALL"}, r));
  EXPECT_TRUE(eventually([&] {
    return holder(kServed + 1) == "a" && link.command({"EXISTS", kEpochKey}, r) &&
           r.integer == 1 && link.command({"HLEN", kPlacesKey}, r) &&
           r.integer == kServed + kElsewhere && link.command({"HEXISTS", kSeenKey, "1"}, r) &&
           r.integer == 1;
  }));
  a.stop();
}

class ClusterCopyTest : public WithPrivateRedis {
 protected:
  void SetUp() override {
    WithPrivateRedis::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    pool_ = std::make_shared<RedisPool>(address_, "pw", 2000);
    copy_ = std::make_shared<ClusterCopy>(
        pool_, folder_.path(), "n1",
        [this](const std::string& text) {
          MutexLock hold(lock_);
          said_ += text + "\n";
        },
        20);
    std::shared_ptr<ClusterCopy> copy = copy_;
    ours_ = std::make_unique<SharedAccounts>(
        pool_, [copy](const std::string& fold) { copy->account_changed(fold); });
    theirs_ = std::make_unique<SharedAccounts>(pool_);  // another node's
  }
  void TearDown() override {
    if (copy_) copy_->stop();
  }
  bool in_copy(const std::string& name) {
    return is_regular_file(folder_.path() + "cluster-copy/users/" + name);
  }
  bool in_redis(const std::string& fold) {
    RedisLink link(address_, "pw", 2000);
    RedisReply r;
    return link.command({"HEXISTS", "tvl:accounts", fold}, r) && r.integer == 1;
  }
  std::string said() {
    MutexLock hold(lock_);
    return said_;
  }

  TempDir folder_;
  std::shared_ptr<RedisPool> pool_;
  std::shared_ptr<ClusterCopy> copy_;
  std::unique_ptr<SharedAccounts> ours_, theirs_;
  Mutex lock_;
  std::string said_ GUARDED_BY(lock_);
};

// What this node changes is in its copy when the change returns; what
// another node changes follows; a Redis emptied while the copy's thread is
// away empties nothing of it, and the copy fills Redis again.
TEST_F(ClusterCopyTest, TheCopyFollowsEveryChangeAndRefillsAnEmptiedRedis) {
  MemberValues values;
  values.password = "pw1";
  values.email = "ann@example.org";
  copy_->start();
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  ASSERT_TRUE(eventually([&] {
    return link.command({"EXISTS", kCopyMarkerKey}, r) && r.integer == 1;
  }));  // an empty Redis and an empty copy: the marker says they are one

  ASSERT_EQ(AccountChange::Written, ours_->add_member("Ann", values));
  EXPECT_TRUE(in_copy("Ann"));  // at once: written through
  ASSERT_EQ(AccountChange::Written, theirs_->add_member("Bea", values));
  ASSERT_EQ(AccountChange::Written, theirs_->add_member("Cy", values));
  ASSERT_TRUE(eventually([&] { return in_copy("Bea") && in_copy("Cy"); }));
  ASSERT_TRUE(theirs_->delete_member("cy"));
  EXPECT_TRUE(eventually([&] { return !in_copy("Cy"); }));

  copy_->stop();
  ASSERT_TRUE(link.command({"FLUSHALL"}, r));
  copy_->account_changed("bea");  // Redis lacks it and the marker: the file stays
  EXPECT_TRUE(in_copy("Bea"));
  EXPECT_TRUE(in_copy("Ann"));
  copy_->start();
  ASSERT_TRUE(eventually([&] { return in_redis("ann") && in_redis("bea"); }));
  EXPECT_FALSE(in_redis("cy"));
  std::string icon;
  EXPECT_EQ(AccountCheck::Member, theirs_->check("Bea", "pw1", icon));
  AccountListing ann;
  ASSERT_TRUE(theirs_->read("ann", ann));
  EXPECT_EQ("ann@example.org", ann.email);
  EXPECT_NE(said().find("node n1 gave back 2 accounts"), std::string::npos) << said();

  // Emptied again, and another node filled it first; Ann was made anew and
  // deleted through that node before this copy gives back what it holds:
  // she stays deleted, here too.
  copy_->stop();
  ASSERT_TRUE(link.command({"FLUSHALL"}, r));
  ASSERT_TRUE(link.command({"SET", kCopyMarkerKey, "filled-elsewhere"}, r));
  ASSERT_EQ(AccountChange::Written, theirs_->add_member("Ann", values));
  ASSERT_TRUE(theirs_->delete_member("ann"));
  EXPECT_TRUE(in_copy("Ann"));
  copy_->start();
  ASSERT_TRUE(eventually([&] { return in_redis("bea"); }));
  EXPECT_TRUE(eventually([&] { return !in_copy("Ann"); }));
  EXPECT_FALSE(in_redis("ann"));
}

// What one node's counters remember for a Redis emptied under them: the
// counts it raised and the guest entry it saw closed, refused from memory
// while Redis holds no copy marker and given back into it; what another
// node opened meanwhile is not closed again.
TEST_F(NodeRegistryTest, CountersGiveBackLockoutsRegistrationsAndClosedGuestEntry) {
  auto pool = std::make_shared<RedisPool>(address_, "pw", 2000);
  SharedCounters here(pool), there(pool);
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  const auto marked = [&] { return link.command({"SET", kCopyMarkerKey, "m1"}, r); };
  ASSERT_TRUE(marked());
  Reason why;
  for (int i = 0; i < 3; ++i) here.login_failed("net1", "ann", 3);
  here.login_failed("net2", "", 3);  // below the bound
  EXPECT_TRUE(here.begin_registration("net3", 2));
  EXPECT_TRUE(here.begin_registration("net3", 2));
  EXPECT_TRUE(here.begin_registration("net4", 2));
  here.registration_failed("net4");  // given back: nothing to remember
  ASSERT_TRUE(here.close_guests("one"));
  ASSERT_TRUE(there.close_guests("two"));
  ASSERT_TRUE(here.look(why)) << why.text;  // sees two closed, through the other node
  ASSERT_TRUE(there.open_guests("one"));    // opened elsewhere before Redis is emptied
  ASSERT_TRUE(here.look(why)) << why.text;
  EXPECT_EQ(4u, here.remembered_counts());  // net1, acct ann, net2, net3

  ASSERT_TRUE(link.command({"FLUSHALL"}, r));
  // No marker: what the node knew still refuses.
  EXPECT_TRUE(here.logins_refused("net1", "", 3));
  EXPECT_TRUE(here.logins_refused("net9", "ann", 3));
  EXPECT_FALSE(here.logins_refused("net2", "", 3));
  EXPECT_TRUE(here.guests_closed("two"));
  EXPECT_FALSE(here.guests_closed("one"));
  EXPECT_FALSE(there.logins_refused("net1", "", 3));  // it raised none of them

  ASSERT_TRUE(here.give_back(why)) << why.text;
  ASSERT_TRUE(marked());
  const struct {
    const char* key;
    long long count, life_ms;  // what Redis holds again, the most life left
  } counts[] = {
      {"tvl:fail:net:net1", 3, kLockoutMs},
      {"tvl:fail:acct:ann", 3, kLockoutMs},
      {"tvl:fail:net:net2", 1, kFailureWindowMs},
      {"tvl:reg:net3", 2, kRegistrationWindowMs},
  };
  for (const auto& c : counts) {
    ASSERT_TRUE(link.command({"GET", c.key}, r));
    EXPECT_EQ(std::to_string(c.count), r.text) << c.key;
    ASSERT_TRUE(link.command({"PTTL", c.key}, r));
    EXPECT_GT(r.integer, 0) << c.key;
    EXPECT_LE(r.integer, c.life_ms) << c.key;
  }
  ASSERT_TRUE(link.command({"EXISTS", "tvl:reg:net4"}, r));
  EXPECT_EQ(0, r.integer);
  for (SharedCounters* node : {&here, &there}) {
    EXPECT_TRUE(node->logins_refused("net1", "", 3));
    EXPECT_FALSE(node->begin_registration("net3", 2));
    EXPECT_TRUE(node->guests_closed("two"));
    EXPECT_FALSE(node->guests_closed("one"));
  }
  // A count Redis holds higher than the node knew is never lowered.
  ASSERT_TRUE(link.command({"SET", "tvl:fail:net:net2", "7", "PX", "60000"}, r));
  ASSERT_TRUE(here.give_back(why)) << why.text;
  ASSERT_TRUE(link.command({"GET", "tvl:fail:net:net2"}, r));
  EXPECT_EQ("7", r.text);
}

}  // namespace
}  // namespace tvl::test
