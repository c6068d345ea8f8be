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
#include <string>
#include <thread>
#include <vector>

#include "server/chat_web_server.h"
#include "server/main_object.h"
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
  bool page(Page which, const std::string& ip, const std::string& path,
            std::string& out) override {
    if (which == Page::Exit) return false;
    out = "page " + std::to_string(static_cast<int>(which)) + " for " + ip + " at " + path;
    return true;
  }
  void registration_post(const std::string&, const std::string& request,
                         std::string& out) override {
    out = "registered";
  }
  void chat_post(const std::string& ip, const std::string& request, std::string& out) override {
    out = request.substr(request.find("\r\n\r\n") + 4);  // the body as it arrived
  }
};

class Main : public MainObject {
 public:
  SiteData& site() override { return site_; }
  ChatState* chat_state() override { return nullptr; }
  PageHandlers* page_handlers() override { return &pages_; }
  void log_chat_event(const std::string&, const std::string&, const std::string&) override {}
  SiteData site_;
  EchoPages pages_;
};

std::string standard(const std::string& status, const std::string& body, bool keep,
                     const std::string& type = "text/html") {
  return "HTTP/1.0 " + status + "\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: " + (keep ? "Keep-Alive" : "close") + "\r\nContent-Type: " + type +
         "\r\n\r\n" + body;
}

class HttpIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    root.write("hello.txt", "hello, world\n");
    root.write("pic.gif", std::string("GIF89a\0\1\2", 9));
    root.write("fnf.html", "<p>not here</p>");
    root.write("users/ann", "secret");
    set_main_object(&main);
    port = test::free_port();
    ASSERT_GT(port, 0);
    ASSERT_EQ(server.Start(root.path(), "index.ghp", port, 0), 1);
  }
  void TearDown() override {
    server.Shutdown();
    set_main_object(nullptr);
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
  ChatWebServer server;
  int port = 0;
};

TEST_F(HttpIntegration, StaticFileThenClose) {
  EXPECT_EQ(once("GET /hello.txt HTTP/1.0\r\n\r\n"),
            standard("200 OK", "hello, world\n", false, "text/plain"));
}

TEST_F(HttpIntegration, KeepAliveServesSeveralRequestsOnOneConnection) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  const std::string keep = " HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
  ASSERT_TRUE(c.send("GET /hello.txt" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", "hello, world\n", true, "text/plain"));
  ASSERT_TRUE(c.send("GET /index.ghp?a=1" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", "page 0 for 127.0.0.1 at /index.ghp?a=1", true));
  // The flag stays set for the connection: no header needed any more.
  ASSERT_TRUE(c.send("GET /pic.gif HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", std::string("GIF89a\0\1\2", 9), true, "image/gif"));
  // A missing file closes the connection after its answer.
  ASSERT_TRUE(c.send("GET /nothere.htm" + keep));
  EXPECT_EQ(mask_date(c.read_all()),
            "HTTP/1.0 404 Resource not found\r\nContent-Length: 15\r\nContent-Type: text/html\r\n"
            "Date: <date>\r\nServer: Tavella Server/1.0\r\n\r\n<p>not here</p>");
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
    EXPECT_TRUE(mask_date(answer) == standard("200 OK", mid, true, "text/css"))
        << "round " << round << ": " << answer.size() << " bytes";
  }
  ASSERT_TRUE(c.send("GET /hello.txt" + keep));
  EXPECT_EQ(mask_date(c.read_http_answer()),
            standard("200 OK", "hello, world\n", true, "text/plain"));
}

TEST_F(HttpIntegration, RequestInSeveralPackets) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /hello.txt HTT"));
  ASSERT_TRUE(c.send("P/1.0\r\n"));
  ASSERT_TRUE(c.send("\r\n"));
  EXPECT_EQ(mask_date(c.read_all()), standard("200 OK", "hello, world\n", false, "text/plain"));
}

TEST_F(HttpIntegration, PostBodyInTwoPacketsIsAnsweredWhole) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  std::string body = "text=" + std::string(3000, 'x') + "&chat_flag=1&more=" + std::string(2000, 'y');
  ASSERT_TRUE(c.send("POST /chatsubmit.ghp?u=ann HTTP/1.0\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 3100)));
  usleep(100 * 1000);  // the first part surely arrives alone
  ASSERT_TRUE(c.send(body.substr(3100)));
  EXPECT_EQ(mask_date(c.read_all()), standard("200 OK", body, false));
}

TEST_F(HttpIntegration, DeclinedPageClosesAfterItsAnswer) {
  RawClient c;
  ASSERT_TRUE(c.connect(port));
  ASSERT_TRUE(c.send("GET /exit.ghp HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"));
  EXPECT_EQ(mask_date(c.read_all()),
            "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\nContent-Type: text/html\r\n"
            "Date: <date>\r\nServer: Tavella Server/1.0\r\n\r\n");
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
  EXPECT_EQ(mask_date(out), standard("200 OK", "hello, world\n", false, "text/plain"));
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

}  // namespace
}  // namespace tvl
