// The Redis link against a private Redis (replies, binary texts, a wrong
// password, a Redis that goes away and comes back) and the address it is
// given.
#include "cluster/redis_link.h"

#include <gtest/gtest.h>

#include "tests/support/private_redis.h"

namespace tvl::test {
namespace {

TEST(RedisAddressTest, HostPortSocketAndMistakes) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
    const char* socket;
  } cases[] = {
      {"127.0.0.1:6380", true, "127.0.0.1", 6380, ""},
      {"redis.internal", true, "redis.internal", 6379, ""},
      {"[::1]:7000", true, "::1", 7000, ""},
      {"[fd00::5]", true, "fd00::5", 6379, ""},
      {"/run/redis/redis.sock", true, "", 0, "/run/redis/redis.sock"},
      {"", false, "", 0, ""},
      {"host:0", false, "", 0, ""},
      {"host:65536", false, "", 0, ""},
      {"host:12ab", false, "", 0, ""},
      {":6379", false, "", 0, ""},
      {"::1:6379", false, "", 0, ""},
      {"[::1]6379", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    RedisAddress a;
    a.host = "untouched";
    ASSERT_EQ(c.ok, parse_redis_address(c.text, a)) << c.text;
    if (!c.ok) {
      EXPECT_EQ("untouched", a.host) << c.text;
      continue;
    }
    EXPECT_EQ(c.host, a.host) << c.text;
    EXPECT_EQ(c.port, a.port) << c.text;
    EXPECT_EQ(c.socket, a.socket_path) << c.text;
  }
  RedisAddress v6;
  ASSERT_TRUE(parse_redis_address("[::1]:7000", v6));
  EXPECT_EQ("[::1]:7000", v6.text());
}

class RedisLinkTest : public WithPrivateRedis {};

TEST_F(RedisLinkTest, RepliesOfEveryKindAndBinaryTexts) {
  RedisLink link(address_, "pw", 2000);
  RedisReply r;
  const std::string binary("a\0b\r\n", 5);
  ASSERT_TRUE(link.command({"SET", "k", binary}, r)) << link.why();
  EXPECT_EQ(RedisReply::Kind::Status, r.kind);
  ASSERT_TRUE(link.command({"GET", "k"}, r));
  EXPECT_EQ(RedisReply::Kind::String, r.kind);
  EXPECT_EQ(binary, r.text);
  ASSERT_TRUE(link.command({"INCR", "n"}, r));
  EXPECT_EQ(RedisReply::Kind::Integer, r.kind);
  EXPECT_EQ(1, r.integer);
  ASSERT_TRUE(link.command({"GET", "missing"}, r));
  EXPECT_TRUE(r.is_nil());
  ASSERT_TRUE(link.command({"RPUSH", "l", "x", "y"}, r));
  ASSERT_TRUE(link.command({"LRANGE", "l", "0", "-1"}, r));
  ASSERT_EQ(RedisReply::Kind::Array, r.kind);
  ASSERT_EQ(2u, r.items.size());
  EXPECT_EQ("y", r.items[1].text);
  // An error reply is a reply, not a broken link.
  ASSERT_TRUE(link.command({"INCR", "k"}, r));
  EXPECT_TRUE(r.is_error());
  EXPECT_TRUE(link.connected());
  EXPECT_FALSE(link.command({}, r));
}

TEST_F(RedisLinkTest, WrongPasswordAndRedisAwayFailAndTheLinkComesBack) {
  RedisLink wrong(address_, "nope", 2000);
  RedisReply r;
  EXPECT_FALSE(wrong.command({"PING"}, r));
  EXPECT_NE(wrong.why().find("refused the password"), std::string::npos) << wrong.why();
  EXPECT_EQ(wrong.why().find("nope"), std::string::npos);
  EXPECT_FALSE(wrong.connected());

  RedisLink link(address_, "pw", 2000);
  ASSERT_TRUE(link.command({"PING"}, r));
  redis_.stop();
  EXPECT_FALSE(link.command({"PING"}, r));
  EXPECT_FALSE(link.connected());
  EXPECT_FALSE(link.command({"PING"}, r));  // no Redis to connect to
  EXPECT_NE(link.why().find(redis_.socket_path()), std::string::npos) << link.why();
  ASSERT_TRUE(redis_.start());
  ASSERT_TRUE(link.command({"PING"}, r)) << link.why();
  EXPECT_EQ("PONG", r.text);
}

}  // namespace
}  // namespace tvl::test
