// Reading requests: where a request ends (pipelined ones, bare LF), byte
// ranges, keep-alive tokens and the client's address behind a proxy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/http_request.h"

namespace tvl {
namespace {

TEST(RequestLength, EndsWhereTheRequestEndsWhateverFollows) {
  const std::string get = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string post = "POST /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc";
  struct Case {
    std::string text;
    std::size_t length;
  } cases[] = {
      {get, get.size()},
      {get + get, get.size()},
      {get + "GET /b HT", get.size()},
      {post + get, post.size()},
      {post.substr(0, post.size() - 1), 0},
      {"GET /a HTTP/1.0\n\nGET /b", 17},
      {"GET /a HTTP/1.0\nHost: x\n\n", 25},
      {"GET /a HTTP/1.0\r\nHost: x\n\r\n", 27},
      {"GET /a HTTP/1.0\r\nHost: x\r\n", 0},
      // A length in a pipelined request's header is not this request's.
      {get + "POST /p HTTP/1.1\r\nContent-Length: 99\r\n\r\n", get.size()},
      // A form sent without a length still ends at its marker's text.
      {"POST /p HTTP/1.0\r\n\r\nt=1&chat_flag=1", 35},
      {"GET", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(request_length(c.text), c.length) << c.text;
}

TEST(RequestLine, TakesMethodPathAndVersionOfTheFirstLine) {
  RequestLine l = parse_request_line("HEAD /x?y HTTP/1.1\r\nHost: a b\r\n\r\n");
  EXPECT_EQ(l.method, "HEAD");
  EXPECT_EQ(l.path, "/x?y");
  EXPECT_EQ(l.version, "HTTP/1.1");
  l = parse_request_line("GET /x HTTP/1.0\nHost: a\n\n");
  EXPECT_EQ(l.version, "HTTP/1.0");
  // A blank of a header line is no blank of the request line.
  l = parse_request_line("GET /x\r\nSet-Cookie: a b\r\n\r\n");
  EXPECT_TRUE(l.has_method);
  EXPECT_FALSE(l.has_path);
  l = parse_request_line("GET /x\nHost: a b\n\n");
  EXPECT_FALSE(l.has_path);
  l = parse_request_line("GET /x HTTP/1.1");  // no line end yet
  EXPECT_EQ(l.path, "/x");
  EXPECT_EQ(l.version, "HTTP/1.1");
  l = parse_request_line("GET\r\n/x y\r\n\r\n");
  EXPECT_FALSE(l.has_method);
  EXPECT_FALSE(parse_request_line("GARBAGE").has_method);
}

TEST(Headers, NamesWithoutRegardToCaseAndOnlyInTheHeader) {
  const std::string request =
      "GET / HTTP/1.1\r\nRANGE:  bytes=1-2 \r\nx-range: no\r\nrange:bytes=3-4\r\n\r\n"
      "Range: bytes=5-6\r\n";
  const HttpRequest parsed = parse_request(request, "10.0.0.1");
  std::vector<std::string> seen;
  parsed.for_each_header("Range", [&](std::string_view v) { seen.emplace_back(v); });
  EXPECT_EQ(seen, (std::vector<std::string>{"bytes=1-2", "bytes=3-4"}));
  EXPECT_EQ(parsed.header("x-RANGE").value_or("none"), "no");
  EXPECT_FALSE(parsed.header("Host").has_value());
  EXPECT_EQ(parsed.body, "Range: bytes=5-6\r\n");
}

TEST(ParsedRequest, ReadsLineQueryAndWhatComesFromTheConnection) {
  HttpRequest r = parse_request("GET /a.ghp?x=1&y HTTP/1.0\r\nHost: h\r\n\r\n", "10.0.0.5", true);
  EXPECT_EQ(r.line.method, "GET");
  EXPECT_EQ(r.line.path, "/a.ghp?x=1&y");
  EXPECT_EQ(r.query, "x=1&y");
  EXPECT_EQ(r.peer, "10.0.0.5");
  EXPECT_EQ(r.client, "10.0.0.5");
  EXPECT_TRUE(r.secure);
  EXPECT_FALSE(r.keep_alive);
  EXPECT_TRUE(r.body.empty());
  // A form post's target without a version runs to the line's end.
  r = parse_request("POST /chatsubmit.ghp?username=a&room=1\r\n\r\nmessage=x", "10.0.0.5");
  EXPECT_FALSE(r.line.has_path);
  EXPECT_EQ(r.line.path, "/chatsubmit.ghp?username=a&room=1");
  EXPECT_EQ(r.body, "message=x");
  EXPECT_FALSE(r.secure);
}

TEST(Range, OneRangeOfTheBody) {
  struct Case {
    const char* value;
    std::uint64_t size;
    RangeAsk ask;
    std::uint64_t first, last;
  } cases[] = {
      {"bytes=0-9", 100, RangeAsk::Part, 0, 9},
      {"bytes=90-", 100, RangeAsk::Part, 90, 99},
      {"bytes=-10", 100, RangeAsk::Part, 90, 99},
      {"bytes=-500", 100, RangeAsk::Part, 0, 99},
      {"bytes=50-5000", 100, RangeAsk::Part, 50, 99},
      {"BYTES = 99-99", 100, RangeAsk::Part, 99, 99},
      {"bytes=100-", 100, RangeAsk::Unsatisfiable, 0, 0},
      {"bytes=200-300", 100, RangeAsk::Unsatisfiable, 0, 0},
      {"bytes=-0", 100, RangeAsk::Unsatisfiable, 0, 0},
      {"bytes=0-", 0, RangeAsk::Unsatisfiable, 0, 0},
      {"bytes=0-1,5-6", 100, RangeAsk::Whole, 0, 0},
      {"bytes=5-1", 100, RangeAsk::Whole, 0, 0},
      {"bytes=a-b", 100, RangeAsk::Whole, 0, 0},
      {"bytes=-", 100, RangeAsk::Whole, 0, 0},
      {"items=0-1", 100, RangeAsk::Whole, 0, 0},
      {"bytes 0-1", 100, RangeAsk::Whole, 0, 0},
      {"bytes=99999999999999999999-", 100, RangeAsk::Whole, 0, 0},
  };
  for (const Case& c : cases) {
    ByteRange r;
    EXPECT_EQ(parse_range(c.value, c.size, r), c.ask) << c.value;
    if (c.ask == RangeAsk::Part) {
      EXPECT_EQ(r.first, c.first) << c.value;
      EXPECT_EQ(r.last, c.last) << c.value;
    }
  }
}

TEST(ForwardedAddress, BelievedOnlyFromTrustedProxies) {
  const std::vector<std::string> trusted = address_list(" 10.0.0.1, ,10.0.0.2 ");
  ASSERT_EQ(trusted, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  auto with = [](const std::string& lines) { return "GET / HTTP/1.1\r\n" + lines + "\r\n"; };
  struct Case {
    const char* peer;
    std::string request;
    const char* client;
  };
  // Each request from its peer, with `trusting` as the trusted proxies.
  auto expect_clients = [](const std::vector<std::string>& trusting,
                           const std::vector<Case>& cases) {
    for (const Case& c : cases)
      EXPECT_EQ(parse_request(c.request, c.peer, false, trusting).client, c.client) << c.request;
  };
  expect_clients(trusted, {
      {"10.0.0.1", with("X-Forwarded-For: 1.2.3.4\r\n"), "1.2.3.4"},
      // The right-most address no trusted proxy added is the client; what
      // the client wrote itself to the left does not count.
      {"10.0.0.1", with("X-Forwarded-For: 6.6.6.6, 1.2.3.4, 10.0.0.2\r\n"), "1.2.3.4"},
      {"10.0.0.1", with("x-forwarded-for: 6.6.6.6\r\nX-Forwarded-For: 1.2.3.4\r\n"), "1.2.3.4"},
      {"10.0.0.1", with("X-Forwarded-For: 10.0.0.2, 10.0.0.1\r\n"), "10.0.0.2"},
      {"10.0.0.1", with("X-Forwarded-For: 2001:db8::7\r\n"), "2001:db8::7"},
      {"10.0.0.1", with(""), "10.0.0.1"},
      {"10.0.0.1", with("X-Forwarded-For: <script>\r\n"), "10.0.0.1"},
      {"10.0.0.1", with("X-Forwarded-For: \r\n"), "10.0.0.1"},
      {"10.0.0.3", with("X-Forwarded-For: 1.2.3.4\r\n"), "10.0.0.3"},
      {"10.0.0.10", with("X-Forwarded-For: 1.2.3.4\r\n"), "10.0.0.10"},
  });
  EXPECT_EQ(parse_request(with("X-Forwarded-For: 1.2.3.4\r\n"), "10.0.0.1").client, "10.0.0.1");
  // Trusted networks; forwarded addresses in the form the log writes them.
  const std::vector<std::string> networks = address_list("10.0.0.0/8, fd00::/8");
  expect_clients(networks, {
      {"10.200.0.1", with("X-Forwarded-For: 1.2.3.4, 10.9.9.9\r\n"), "1.2.3.4"},
      {"fd00::5", with("X-Forwarded-For: 2001:DB8:0:0::7\r\n"), "2001:db8::7"},
      {"10.0.0.1", with("X-Forwarded-For: ::ffff:1.2.3.4\r\n"), "1.2.3.4"},
      {"10.0.0.1", with("X-Forwarded-For: 1.2.3\r\n"), "10.0.0.1"},      // no address
      {"10.0.0.1", with("X-Forwarded-For: 1::2::3\r\n"), "10.0.0.1"},
      {"11.0.0.1", with("X-Forwarded-For: 1.2.3.4\r\n"), "11.0.0.1"},  // not trusted
  });
}

}  // namespace
}  // namespace tvl
