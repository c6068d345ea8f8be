// The escaping rule of each kind of place a value lands in, with the usual
// attack strings: whatever goes in, the result cannot leave its place, and a
// browser reads back exactly the value.
#include <gtest/gtest.h>

#include <string>

#include "chat/page_escape.h"
#include "chat/script_string.h"

namespace tvl {
namespace {

// The usual attack strings: ending quotes and tags, handlers, script
// addresses, entity and percent tricks, line breaks.
const char* const kAttacks[] = {
    "<script>alert(1)</script>",
    "\"><script>alert(1)</script>",
    "'><img src=x onerror=alert(1)>",
    "x onmouseover=alert(1) y",
    "x\tonmouseover=alert(1)",
    "x' onmouseover='alert(1)",
    "');alert(1);//",
    "\\');alert(1);//",
    "%27);alert(1);//",
    "%2527);alert(1);//",
    "&#39;);alert(1);//",
    "&apos;);alert(1)//",
    "javascript:alert(1)",
    "</script><script>alert(1)</script>",
    "<!--$pass-->",
    "x\r\n<script>alert(1)</script>",
    "`${alert(1)}`",
    "a=b&c=d#frag",
    "caf\xc3\xa9 \xe2\x80\xa8 end",
    "<svg/onload=alert(1)>",
};

// Percent-decoding as a browser applies it to a javascript: address.
std::string percent_decoded(const std::string& text) {
  auto hex = [](char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The value of a single-quoted script string literal whose body is `body`
// (only the escapes getname_argument writes), or "<ends early>" when an
// unescaped quote or a line end would end it.
std::string script_string_value(const std::string& body) {
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\'' || body[i] == '\n' || body[i] == '\r') return "<ends early>";
    if (body[i] == '\\' && i + 1 < body.size()) {
      char next = body[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += body[i];
    }
  }
  return out;
}

class EscapeRules : public ::testing::TestWithParam<const char*> {};

// Element text and quoted attributes: no tag, no quote of either kind, and
// every "&" starts one of the references written here.
TEST_P(EscapeRules, HtmlTextHoldsNoMarkup) {
  const std::string out = escape_html(GetParam());
  for (char c : std::string("<>\"'")) EXPECT_EQ(out.find(c), std::string::npos) << out;
  for (std::size_t at = out.find('&'); at != std::string::npos; at = out.find('&', at + 1)) {
    const std::string ref = out.substr(at, out.find(';', at) - at + 1);
    EXPECT_TRUE(ref == "&amp;" || ref == "&lt;" || ref == "&gt;" || ref == "&quot;" || ref == "&#39;")
        << ref;
  }
}

// Address values stand in quoted and unquoted attributes and in script
// strings: only characters none of those places reads specially.
TEST_P(EscapeRules, AddressValueHoldsOnlyPlainCharacters) {
  const std::string out = escape_address_value(GetParam());
  for (unsigned char c : out) {
    EXPECT_TRUE(std::isalnum(c) || std::string("-_.~!*()%+,;:@/=?$").find(static_cast<char>(c)) !=
                                       std::string::npos)
        << out;
  }
  // A browser reading the address gets the value back.
  EXPECT_EQ(percent_decoded(out), percent_decoded(GetParam())) << out;
}

// The getname('...') argument inside a javascript: address: no blank or
// character that would end an unquoted attribute, and once the browser
// percent-decodes the address the script string holds exactly the name.
TEST_P(EscapeRules, GetnameArgumentGivesBackTheName) {
  const std::string out = getname_argument(GetParam());
  for (char c : std::string(" \t\r\n<>\"'&`=")) EXPECT_EQ(out.find(c), std::string::npos) << out;
  EXPECT_EQ(script_string_value(percent_decoded(out)), GetParam());
}

// Script strings between double quotes inside a <script> block.
TEST_P(EscapeRules, ScriptStringCannotEndTheStringOrTheScript) {
  const std::string out = escape_for_script_string(GetParam());
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\\') {
      ++i;
      continue;
    }
    EXPECT_NE(out[i], '"') << out;
    EXPECT_NE(out[i], '\n') << out;
  }
  EXPECT_EQ(out.find("</"), std::string::npos) << out;
  EXPECT_EQ(out.find("<!--"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Attacks, EscapeRules, ::testing::ValuesIn(kAttacks));

TEST(EscapeRulesExact, ValuesBrowsersProduceStayAsTheyAre) {
  // What encodeURIComponent and form encoding produce passes unchanged, so a
  // key or name the pages carry comes back byte for byte.
  for (const char* value : {"ann", "J%C3%B6rg", "a+b", "p%40ss%2Fw0rd", "0123456789abcdef",
                            "x-y_z.~!*()"})
    EXPECT_EQ(escape_address_value(value), value);
  EXPECT_EQ(escape_address_value("a\"b<c> d'e&f\\g#"), "a%22b%3Cc%3E%20d%27e%26f%5Cg%23");
  EXPECT_EQ(escape_html("a<b>&\"c\"'"), "a&lt;b&gt;&amp;&quot;c&quot;&#39;");
  EXPECT_EQ(getname_argument("ann"), "ann");
  EXPECT_EQ(getname_argument("o'neil x"), "o%5C%27neil%20x");
  EXPECT_EQ(getname_argument("J%C3%B6rg"), "J%25C3%25B6rg");
  EXPECT_EQ(name_link("a b"),
            "<a target=chatsubmit href=javascript:parent.chatsubmit.getname('a%20b');>a b</a>");
}

}  // namespace
}  // namespace tvl
