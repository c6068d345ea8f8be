#include "chat/query.h"

#include <gtest/gtest.h>

#include <climits>

namespace tvl {
namespace {

TEST(KeyValue, RunsToTheNextExpectedKey) {
  const std::string path = "/users.ghp?username=ann&password=pw&room=2";
  EXPECT_EQ(key_value(path, "?username=", "&password="), "ann");
  EXPECT_EQ(key_value(path, "&password=", "&room="), "pw");
  EXPECT_EQ(key_value(path, "&room="), "2");
  // A missing next key lets the value run to the end.
  EXPECT_EQ(key_value(path, "?username=", "&sex="), "ann&password=pw&room=2");
  EXPECT_EQ(key_value(path, "&sex=", "&x="), "");
  EXPECT_TRUE(has_key(path, "&room="));
  EXPECT_FALSE(has_key(path, "&sex="));
}

TEST(KeyValue, NextKeyIsSearchedAfterTheValueStarts) {
  // "&password=" also stands before "?username="; only the one after counts.
  const std::string path = "/x?&password=?username=bob&password=p&room=1";
  EXPECT_EQ(key_value(path, "?username=", "&password="), "bob");
}

struct NumberCase {
  const char* text;
  int expected;
};

class KeyNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(KeyNumber, AtoiRules) {
  EXPECT_EQ(key_number(GetParam().text, "&room="), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, KeyNumber,
                         ::testing::Values(NumberCase{"?a&room=3", 3},
                                           NumberCase{"?a&room=3&sex=1", 3},
                                           NumberCase{"?a&room=12 HTTP/1.0", 12},
                                           NumberCase{"?a&room=", 0},
                                           NumberCase{"?a&room=x2", 0},
                                           NumberCase{"?a", 0},
                                           NumberCase{"?a&room=-4", -4},
                                           NumberCase{"?a&room=99999999999999", 0},
                                           NumberCase{"?a&room=99999999999999999999999", 0},
                                           NumberCase{"?a&room= +7", 7},
                                           NumberCase{"?a&room=+-7", 0},
                                           NumberCase{"?a&room=-2147483648", INT_MIN},
                                           NumberCase{"?a&room=2147483648", 0}));

struct NameCase {
  const char* name;
  bool allowed;
};

class UserName : public ::testing::TestWithParam<NameCase> {};

TEST_P(UserName, Rule) {
  EXPECT_EQ(user_name_allowed(GetParam().name), GetParam().allowed) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, UserName,
    ::testing::Values(NameCase{"ann", true}, NameCase{"Ann+Lee", true}, NameCase{"J%C3%B6rg", true},
                      NameCase{"a.b", true}, NameCase{"100%", true},
                      NameCase{"", false}, NameCase{"..", false}, NameCase{"a..b", false},
                      NameCase{"a/b", false}, NameCase{"a%2Fb", false}, NameCase{"a\\b", false},
                      NameCase{"a%5cb", false}, NameCase{"<b>", false}, NameCase{"a%3Cb", false},
                      NameCase{"a\"b", false}, NameCase{"a%22b", false}, NameCase{"o'neil", false},
                      NameCase{"o%27neil", false}, NameCase{"a%0Ab", false}, NameCase{"a%09", false},
                      NameCase{"%2E%2E", false},
                      // A raw "&" would be read as a character reference in a page.
                      NameCase{"x&apos;);alert(1);(&apos;", false}, NameCase{"a&#b", false},
                      NameCase{"a%26b", true}, NameCase{"%26%2320013%3B", true}));

TEST(UserNameLength, SixtyThreeBytesAsTheyStandInTheAddress) {
  EXPECT_TRUE(user_name_allowed(std::string(63, 'a')));
  EXPECT_FALSE(user_name_allowed(std::string(64, 'a')));
  // Measured before decoding: 22 escapes are 66 bytes in the address.
  std::string escaped;
  for (int i = 0; i < 22; ++i) escaped += "%41";
  EXPECT_FALSE(user_name_allowed(escaped));
  EXPECT_FALSE(user_name_allowed(std::string("a\0b", 3)));
}

TEST(DecodedName, SameRuleWithoutDecoding) {
  EXPECT_TRUE(decoded_name_allowed("J%C3%B6rg"));
  EXPECT_TRUE(decoded_name_allowed("Jörg"));
  EXPECT_FALSE(decoded_name_allowed("a'b"));
  EXPECT_FALSE(decoded_name_allowed(""));
  EXPECT_FALSE(decoded_name_allowed(std::string(64, 'x')));
}

}  // namespace
}  // namespace tvl
