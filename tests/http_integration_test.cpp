// A real ChatWebServer on a free loopback port, spoken to with raw bytes and
// with curl as a real client.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/chat_web_server.h"
#include "server/connection_limits.h"
#include "storage/chat_log.h"
#include "server/page_handlers.h"
#include "storage/settings.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::mask_date;
using test::RawClient;
using test::TempDir;

class EchoPages : public PageHandlers {
 public:
  bool page(Page which, const std::string& path, const HttpRequest& request,
            std::string& out) override {
    if (which == Page::Exit) return false;
    out = "page " + std::to_string(static_cast<int>(which)) + " for " + request.client + " at " +
          path;
    return true;
  }
  void registration_post(const HttpRequest&, std::string& out) override { out = "registered"; }
  void chat_post(const HttpRequest& request, std::string& out) override {
    out = std::string(request.body);  // the body as it arrived
  }
};

// What the server is built with.
struct Main {
  SiteData site_;
  EchoPages pages_;
  ChatLog log_;
};

// The lines every answer carries before its empty line.
const std::string kGuard =
    "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: frame-ancestors 'self'; script-src 'self'; object-src 'none'; "
    "base-uri 'none'; form-action 'self'\r\nReferrer-Policy: same-origin\r\n";
const std::string kNoStore = "Cache-Control: no-store\r\n";

std::string standard(const std::string& status, const std::string& body, bool keep,
                     const std::string& type = "text/html", const std::string& extra = "") {
  return "HTTP/1.0 " + status + "\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: " + (keep ? "Keep-Alive" : "close") + "\r\nContent-Type: " + type +
         "\r\n" + kGuard + extra + "\r\n" + body;
}

const std::string kText = "text/plain; charset=utf-8";

std::string short_answer(const std::string& status, const std::string& body,
                         const std::string& extra = "") {
  return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/html\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         kGuard + extra + "\r\n" + body;
}

// The answer of a chat page or post.
std::string page_answer(const std::string& status, const std::string& body, bool keep) {
  return standard(status, body, keep, "text/html", kNoStore);
}

class HttpIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    root.write("hello.txt", "hello, world\n");
    root.write("pic.gif", std::string("GIF89a\0\1\2", 9));
    root.write("fnf.html", "<p>not here</p>");
    root.write("users/ann", "secret");
    server.set_any_port(true);
    ASSERT_EQ(server.Start(root.path(), "index.ghp", 0, 0), 1);
    port = server.port();
    ASSERT_GT(port, 0);
  }
  void TearDown() override {
    server.Shutdown();
  }

  std::string once(const std::string& request) {
    return mask_date(test::http_exchange(port, request));
  }

  // Runs curl with the given arguments; its standard output, and its exit
  // status in `status`.
  std::string curl(const std::vector<std::string>& args, int& status) {
    std::string command = "curl -s -S --max-time 5";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    if (!pipe) return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
  }

  bool have_curl() { return std::system("command -v curl >/dev/null 2>&1") == 0; }

  std::string url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  test::TestEnvironment env;
  TempDir root;
  Main main;
  ChatWebServer server{main.site_, &main.pages_, main.log_};
  int port = 0;
};

TEST_F(HttpIntegration, StaticFileThenClose) {
  EXPECT_EQ(once("GET /hello.txt HTTP/1.0\r\n\r\n"),
            standard("200 OK", "hello, world\n", false, kText));
}

TEST_F(HttpIntegration, KeepAliveServesSeveralRequestsOnOneConnection) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  const std::string keep = " HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
  ASSERT_TRUE(c.send("GET /hello.txt" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", "hello, world\n", true, kText));
  ASSERT_TRUE(c.send("GET /index.ghp?a=1" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            page_answer("200 OK", "page 0 for 127.0.0.1 at /index.ghp?a=1", true));
  // HTTP/1.1 keeps the connection without asking.
  ASSERT_TRUE(c.send("GET /pic.gif HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", std::string("GIF89a\0\1\2", 9), true, "image/gif"));
  // A missing file closes the connection after its answer.
  ASSERT_TRUE(c.send("GET /nothere.htm" + keep));
  EXPECT_EQ(mask_date(c.read_all()),
            short_answer("404 Resource not found", "<p>not here</p>"));
  EXPECT_TRUE(c.wait_closed());
}

// Large files leave through the connection server's shared-body path: the
// bytes on the wire must be those of the file, for a slow reader too, and
// the connection must go on with the next request.
TEST_F(HttpIntegration, LargeFilesReachASlowKeptAliveReaderWhole) {
  auto pattern = [](std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) % 256);
    return bytes;
  };
  // Too large for the file cache: read for each request.
  const std::string big = pattern(6 * 1024 * 1024 + 11, 1);
  // Small enough for the cache once its times have settled.
  const std::string mid = pattern(200 * 1024, 2);
  root.write("big.bin", big);
  root.write("mid.css", mid);
  const std::string mid_name = root.path() + "/mid.css";
  const timespec old[2] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, mid_name.c_str(), old, 0));

  RawClient c;
  ASSERT_TRUE(c.connect(port));
  const std::string keep = " HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
  ASSERT_TRUE(c.send("GET /big.bin" + keep));
  // Read nothing for a while: the socket buffers fill long before 6 MiB.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string answer = c.read_http_answer(5000);
  EXPECT_TRUE(mask_date(answer) == standard("200 OK", big, true, "application/octet-stream"))
      << answer.size() << " bytes";
  // The cached file twice: filled into the cache, then served from it.
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(c.send("GET /mid.css" + keep));
    answer = c.read_http_answer(5000);
    EXPECT_TRUE(mask_date(answer) == standard("200 OK", mid, true, "text/css; charset=utf-8"))
        << "round " << round << ": " << answer.size() << " bytes";
  }
  // A part of the cached file.
  ASSERT_TRUE(c.send("GET /mid.css HTTP/1.1\r\nRange: bytes=100000-100099\r\n\r\n"));
  EXPECT_EQ(mask_date(c.read_http_answer(5000)),
            standard("206 Partial Content", mid.substr(100000, 100), true,
                     "text/css; charset=utf-8", "Content-Range: bytes 100000-100099/204800\r\n"));
  ASSERT_TRUE(c.send("GET /hello.txt" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", "hello, world\n", true, kText));
}

TEST_F(HttpIntegration, RequestInSeveralPackets) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /hello.txt HTT"));
  ASSERT_TRUE(c.send("P/1.0\r\n"));
  ASSERT_TRUE(c.send("\r\n"));
  EXPECT_EQ(mask_date(c.read_all()), standard("200 OK", "hello, world\n", false, kText));
}

TEST_F(HttpIntegration, PostBodyInTwoPacketsIsAnsweredWhole) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  std::string body = "text=" + std::string(3000, 'x') + "&chat_flag=1&more=" + std::string(2000, 'y');
  ASSERT_TRUE(c.send("POST /chatsubmit.ghp?u=ann HTTP/1.0\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 3100)));
  usleep(100 * 1000);  // the first part surely arrives alone
  ASSERT_TRUE(c.send(body.substr(3100)));
  EXPECT_EQ(mask_date(c.read_all()), page_answer("200 OK", body, false));
}

TEST_F(HttpIntegration, DeclinedPageClosesAfterItsAnswer) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /exit.ghp HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"));
  EXPECT_EQ(mask_date(c.read_all()),
            short_answer("404 Not Found", "", kNoStore));
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(HttpIntegration, TestStreamLeavesTheConnectionOpen) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /test.ghp HTTP/1.0\r\n\r\n"));
  std::string answer = c.read_http_answer(500);  // stops when nothing more comes
  EXPECT_EQ(answer.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(answer.size() - answer.find("\r\n\r\n") - 4, 361u);
  EXPECT_FALSE(c.wait_closed(300));
}

TEST_F(HttpIntegration, UnparsableRequestIsClosedWithoutAnswer) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /hello.txt\r\n\r\n"));
  EXPECT_EQ(c.read_all(), "");
  EXPECT_TRUE(c.wait_closed());
}

TEST_F(HttpIntegration, TraversalIsRefused) {
  EXPECT_EQ(once("GET /../../../../etc/passwd HTTP/1.0\r\n\r\n"),
            standard("403 Forbidden", "403 Forbidden", false));
}

TEST_F(HttpIntegration, RefusedClient) {
  main.site_.settings.filter_mode = 1;
  main.site_.reject_list.set("1.1.1.1,127.0.0.1");
  EXPECT_EQ(once("GET /hello.txt HTTP/1.0\r\n\r\n"),
            standard("200 OK", "403 IP Forbidden", false));
  main.site_.settings.filter_mode = 0;
}

// Real loopback clients against the entry rule, in both modes: a longer
// listed address covers nobody else, subnet and "*" entries do.
TEST_F(HttpIntegration, ListEntriesDecideForRealClients) {
  const std::string refused = standard("200 OK", "403 IP Forbidden", false);
  struct Case {
    int mode;
    const char* list;
    bool refused;
  } cases[] = {
      {1, "127.0.0.15", false}, {1, "27.0.0.1", false},  {1, "127.0.0.1", true},
      {1, "127.0.0.", true},    {1, "127.*.*.1", true},  {1, "10.0.0.1,,127.0.0.1", true},
      {2, "127.0.0.15", true},  {2, "127.0.0.10", true}, {2, "127.0.0.1", false},
      {2, "127.0.", false},     {2, "127.0.0.*", false}, {2, "", true},
  };
  for (const Case& c : cases) {
    main.site_.settings.filter_mode = c.mode;
    (c.mode == 1 ? main.site_.reject_list : main.site_.accept_list).set(c.list);
    const std::string answer = once("GET /hello.txt HTTP/1.0\r\n\r\n");
    if (c.refused) {
      EXPECT_EQ(answer, refused) << c.mode << " " << c.list;
    } else {
      EXPECT_NE(answer.find("hello, world"), std::string::npos) << c.mode << " " << c.list;
    }
    main.site_.reject_list.set("");
    main.site_.accept_list.set("");
  }
  main.site_.settings.filter_mode = 0;
}

TEST_F(HttpIntegration, PrivateFilesOfTheFolderAreRefused) {
  root.write("option.ini", "[Settings]\r\nPort=8080\r\n");
  root.write("rooms.sdb", "records");
  EXPECT_EQ(once("GET /option.ini HTTP/1.0\r\n\r\n"), standard("403 Forbidden", "403 Forbidden", false));
  EXPECT_EQ(once("GET /rooms.sdb HTTP/1.0\r\n\r\n"), standard("403 Forbidden", "403 Forbidden", false));
}

TEST_F(HttpIntegration, CurlFetchesAStaticFile) {
  if (!have_curl()) GTEST_SKIP() << "curl is not installed";
  int status = -1;
  std::string out = curl({"-i", url("/hello.txt")}, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(mask_date(out), standard("200 OK", "hello, world\n", true, kText));
  out = curl({"-o", "-", url("/pic.gif")}, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, std::string("GIF89a\0\1\2", 9));
}

TEST_F(HttpIntegration, CurlSeesAMissingFile) {
  if (!have_curl()) GTEST_SKIP() << "curl is not installed";
  int status = -1;
  std::string out = curl({"-w", "|%{http_code}", url("/nothere.htm")}, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "<p>not here</p>|404");
  out = curl({"-f", url("/nothere.htm")}, status);
  EXPECT_EQ(status, 22);  // curl's code for an HTTP error with -f
}

TEST_F(HttpIntegration, CurlSeesARefusedFolder) {
  if (!have_curl()) GTEST_SKIP() << "curl is not installed";
  int status = -1;
  std::string out = curl({"-w", "|%{http_code}", url("/users/ann")}, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "403 Forbidden|403");
}

TEST_F(HttpIntegration, CurlGetsThePartialTestStream) {
  if (!have_curl()) GTEST_SKIP() << "curl is not installed";
  int status = -1;
  std::string expected = "abccccccc\r\n";
  for (int i = 0; i < 50; ++i) expected += "aaa<br>";
  std::string out = curl({"--max-time", "1", url("/test.ghp")}, status);
  EXPECT_EQ(status, 28);  // timed out waiting for the announced rest
  EXPECT_EQ(out, expected);
}

// ------------------------------------------------------- what clients send

// mask_date for every answer of a connection.
std::string mask_dates(const std::string& answers) {
  static const std::regex date("\r\nDate: [^\r]*\r\n");
  return std::regex_replace(answers, date, "\r\nDate: <date>\r\n");
}

// Every complete request of a connection is answered, in order, however the
// bytes were cut into packets.
TEST_F(HttpIntegration, PipelinedRequestsAreAnsweredInOrder) {
  const std::string a = "GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string b = "GET /index.ghp?b HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string c = "GET /pic.gif HTTP/1.1\r\nConnection: close\r\n\r\n";
  const std::string answers =
      standard("200 OK", "hello, world\n", true, kText) +
      page_answer("200 OK", "page 0 for 127.0.0.1 at /index.ghp?b", true);
  const std::string gif = standard("200 OK", std::string("GIF89a\0\1\2", 9), false, "image/gif");
  struct Case {
    std::string bytes;
    std::vector<std::size_t> cuts;  // where the packets end
    std::string expected;
  } cases[] = {
      {a + b + c, {}, answers + gif},
      {a + c, {}, standard("200 OK", "hello, world\n", true, kText) + gif},
      {a + b + c, {1}, answers + gif},
      {a + b + c, {a.size() - 1}, answers + gif},
      {a + b + c, {a.size() + 3, a.size() + b.size() + 1}, answers + gif},
      {a + b + c, {a.size() - 2, a.size() + b.size() - 3, a.size() + b.size() + 7}, answers + gif},
  };
  for (const Case& k : cases) {
    RawClient client;
    ASSERT_TRUE(client.connect(port));
    std::size_t from = 0;
    for (std::size_t cut : k.cuts) {
      ASSERT_TRUE(client.send(k.bytes.substr(from, cut - from)));
      from = cut;
      usleep(20 * 1000);  // lets the part arrive alone
    }
    ASSERT_TRUE(client.send(k.bytes.substr(from)));
    EXPECT_EQ(mask_dates(client.read_all(3000)), k.expected) << k.cuts.size() << " cuts";
  }
}

TEST_F(HttpIntegration, BareLineFeedsEndARequest) {
  EXPECT_EQ(once("GET /hello.txt HTTP/1.0\nHost: x\n\n"),
            standard("200 OK", "hello, world\n", false, kText));
  EXPECT_EQ(once("GET /hello.txt?v=3 HTTP/1.0\n\n"),
            standard("200 OK", "hello, world\n", false, kText));
}

TEST_F(HttpIntegration, HeadSendsTheHeaderOfAGetAndNoBody) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("HEAD /hello.txt HTTP/1.1\r\n\r\nHEAD /index.ghp HTTP/1.1\r\n\r\n"
                     "GET /pic.gif HTTP/1.0\r\n\r\n"));
  const std::string file = standard("200 OK", "hello, world\n", true, kText);
  const std::string page = page_answer("200 OK", "page 0 for 127.0.0.1 at /index.ghp", true);
  EXPECT_EQ(mask_dates(c.read_all(3000)),
            file.substr(0, file.find("\r\n\r\n") + 4) + page.substr(0, page.find("\r\n\r\n") + 4) +
                standard("200 OK", std::string("GIF89a\0\1\2", 9), false, "image/gif"));
}

TEST_F(HttpIntegration, SingleRangesOfAFile) {
  std::string digits;
  for (int i = 0; i < 1000; ++i) digits += static_cast<char>('0' + i % 10);
  root.write("digits.txt", digits);
  // Over the cache limit: sent from the file in pieces.
  std::string big(3 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 % 251);
  root.write("big.bin", big);
  auto ask = [&](const std::string& file, const std::string& range) {
    return once("GET " + file + " HTTP/1.0\r\nRange: " + range + "\r\n\r\n");
  };
  auto part = [](const std::string& body, const std::string& type, const std::string& spec) {
    return standard("206 Partial Content", body, false, type, "Content-Range: bytes " + spec + "\r\n");
  };
  const std::string bin = "application/octet-stream";
  EXPECT_EQ(ask("/digits.txt", "bytes=0-4"), part("01234", kText, "0-4/1000"));
  EXPECT_EQ(ask("/digits.txt", "bytes=-3"), part("789", kText, "997-999/1000"));
  EXPECT_EQ(ask("/digits.txt", "bytes=995-2000"), part("56789", kText, "995-999/1000"));
  EXPECT_EQ(ask("/digits.txt", "bytes=1000-"),
            standard("416 Range Not Satisfiable", "", false, kText,
                     "Content-Range: bytes */1000\r\n"));
  EXPECT_EQ(ask("/digits.txt", "bytes=9-2"), standard("200 OK", digits, false, kText));
  EXPECT_EQ(ask("/digits.txt", "bytes=0-1,4-5"), standard("200 OK", digits, false, kText));
  EXPECT_EQ(ask("/big.bin", "bytes=2000000-2000099"),
            part(big.substr(2000000, 100), bin, "2000000-2000099/3145728"));
  EXPECT_EQ(ask("/big.bin", "bytes=-70000"),
            part(big.substr(big.size() - 70000), bin, "3075728-3145727/3145728"));
}

// Slow readers of a file far over the cache limit: a plain connection sends
// it from the file, so no connection holds a copy of it (nor a piece), by the
// server's own count of answer memory.
TEST_F(HttpIntegration, LargeFilesCostNoCopyPerReader) {
  std::string big(4 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 253);
  root.write("big.bin", big);
  constexpr int kReaders = 4;
  std::vector<std::unique_ptr<RawClient>> readers;
  std::vector<std::string> starts;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(std::make_unique<RawClient>());
    ASSERT_TRUE(readers.back()->connect(port));
    ASSERT_TRUE(readers.back()->send("GET /big.bin HTTP/1.0\r\n\r\n"));
    starts.push_back(readers.back()->read_bytes(12, 5000));
    ASSERT_EQ(12u, starts.back().size());
  }
  // Every answer is under way while nobody reads on.
  EXPECT_LE(server.answer_bytes(), std::size_t(kReaders) * 4096);
  for (int i = 0; i < kReaders; ++i)
    EXPECT_TRUE(mask_date(starts[i] + readers[i]->read_all(5000)) ==
                standard("200 OK", big, false, "application/octet-stream"));
  EXPECT_TRUE(test::eventually([&] { return server.answer_bytes() == 0; }));
}

// Behind a trusted proxy the forwarded address is the client's for the
// pages and the IP filter; from anyone else the header means nothing.
TEST_F(HttpIntegration, TrustedProxyForwardsTheClientAddress) {
  server.Shutdown();
  main.site_.settings.trusted_proxies = "10.9.9.9, 127.0.0.1";
  ASSERT_EQ(server.Start(root.path(), "index.ghp", port, 0), 1);
  const std::string forwarded =
      "GET /index.ghp HTTP/1.0\r\nX-Forwarded-For: 6.6.6.6, 5.6.7.8, 10.9.9.9\r\n\r\n";
  EXPECT_EQ(once(forwarded), page_answer("200 OK", "page 0 for 5.6.7.8 at /index.ghp", false));
  main.site_.settings.filter_mode = 1;
  main.site_.reject_list.set("5.6.7.8");
  EXPECT_EQ(once(forwarded), standard("200 OK", "403 IP Forbidden", false));
  EXPECT_NE(once("GET /index.ghp HTTP/1.0\r\n\r\n").find("page 0 for 127.0.0.1"), std::string::npos);
  main.site_.settings.filter_mode = 0;
  main.site_.reject_list.set("");

  server.Shutdown();
  main.site_.settings.trusted_proxies = "10.9.9.9";
  ASSERT_EQ(server.Start(root.path(), "index.ghp", port, 0), 1);
  EXPECT_EQ(once(forwarded), page_answer("200 OK", "page 0 for 127.0.0.1 at /index.ghp", false));
  main.site_.settings.trusted_proxies.clear();
}

}  // namespace
}  // namespace tvl
