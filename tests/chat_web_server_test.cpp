// ChatWebServer's two hooks called directly: completion, dispatch, the IP
// filter and every answer, compared byte for byte with the date masked.
#include "server/chat_web_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "server/content_types.h"
#include "server/http_answers.h"
#include "server/page_handlers.h"
#include "storage/chat_log.h"
#include "storage/settings.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::mask_date;
using test::TempDir;

// Records every call; answers pages with "<page N>" unless told to decline.
class FakePages : public PageHandlers {
 public:
  struct Call {
    std::string kind;  // "page", "register", "chat"
    int page = -1;
    std::string ip, text;
  };

  bool page(Page which, const std::string& path, const HttpRequest& request,
            std::string& out) override {
    calls.push_back({"page", static_cast<int>(which), request.client, path});
    if (!out.empty()) out = "out was not empty";
    if (decline) return false;
    out = "<page " + std::to_string(static_cast<int>(which)) + ">";
    return true;
  }
  void registration_post(const HttpRequest& request, std::string& out) override {
    calls.push_back({"register", -1, "", std::string(request.text)});
    out = post_answer;
  }
  void chat_post(const HttpRequest& request, std::string& out) override {
    calls.push_back({"chat", -1, request.client, std::string(request.text)});
    out = post_answer;
  }

  std::vector<Call> calls;
  bool decline = false;
  std::string post_answer = "posted";
};

// What the server under test is built with.
struct TestMain {
  SiteData site_;
  FakePages pages;
  ChatLog log;
};

const char kIp[] = "10.0.0.1";

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

// The answer of a chat page or post.
std::string page_answer(const std::string& status, const std::string& body, bool keep) {
  return standard(status, body, keep, "text/html", kNoStore);
}

std::string short_answer(const std::string& status, const std::string& body,
                         const std::string& extra = "") {
  return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/html\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         kGuard + extra + "\r\n" + body;
}

// A browser's GET that keeps its connection or asks to close it.
std::string get(const std::string& path, bool keep = false) {
  return "GET " + path + " HTTP/1.1\r\nHost: x\r\n" +
         (keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n") + "\r\n";
}

// Content type of the folder's .htm files.
const std::string kHtmlFile = "text/html; charset=utf-8";

class ChatWebServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server.configure(root.path(), "index.ghp"); }

  // One request through HandleRequest; the answer with its date masked.
  std::string ask(const std::string& request, const std::string& ip = kIp) {
    return ask_server(server, request, ip);
  }
  std::string ask_server(ChatWebServer& to, const std::string& request,
                         const std::string& ip = kIp) {
    Answer answer = to.HandleRequest(ip, request, false);
    result = answer.send ? 1 : 0;
    keep_alive = answer.keep_alive ? 1 : 0;
    response = answer.send ? test::wire_bytes(answer) : std::string();
    return mask_date(response);
  }

  int complete(const std::string& text) { return server.IsRequestComplete(text); }

  void filter(int mode, const std::string& accept, const std::string& reject) {
    main.site_.settings.filter_mode = mode;
    main.site_.accept_list.set(accept);
    main.site_.reject_list.set(reject);
  }

  const FakePages::Call& only_call() {
    EXPECT_EQ(main.pages.calls.size(), 1u);
    static FakePages::Call none;
    return main.pages.calls.empty() ? none : main.pages.calls.back();
  }

  test::TestEnvironment env;
  TempDir root;
  TestMain main;
  ChatWebServer server{main.site_, &main.pages, main.log};
  std::string response;
  int keep_alive = 0;
  int result = -1;
};

// ---------------------------------------------------------------- completion

struct CompletionCase {
  const char* name;
  std::string text;
  int complete;
};

class Completion : public ChatWebServerTest,
                   public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(Completion, Decides) { EXPECT_EQ(complete(GetParam().text), GetParam().complete); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Completion,
    ::testing::Values(
        CompletionCase{"TooShort", "\r\n\r", 0},
        CompletionCase{"JustABlankLine", "\r\n\r\n", 1},
        CompletionCase{"HeaderEnded", "GET / HTTP/1.0\r\nHost: a\r\n\r\n", 1},
        CompletionCase{"HeaderNotEnded", "GET / HTTP/1.0\r\nHost: a\r\n", 0},
        CompletionCase{"BareNewlinesEnd", "GET / HTTP/1.0\n\n", 1},
        // Without Content-Length a request ends with its header; what follows
        // is the next request.
        CompletionCase{"PostWithoutLengthAtHeaderEnd", "POST /x HTTP/1.0\r\n\r\n", 1},
        CompletionCase{"PostWithoutLengthBodyStarted", "POST /x HTTP/1.0\r\n\r\nname=a", 1},
        CompletionCase{"ChatMarkerWithMoreToCome", "POST /x HTTP/1.0\r\n\r\na=1&chat_flag=1&b", 1},
        CompletionCase{"RegistrationMarker", "POST /x HTTP/1.0\r\n\r\nn=a&submit1=OK&c", 1},
        CompletionCase{"MarkerBeforeHeaderEnd", "GET /a?x&chat_flag=1 HTTP/1.0\r\n", 1},
        CompletionCase{"SecondRequestStarted", "GET / HTTP/1.0\r\n\r\nGET /", 1},
        // Content-Length decides once it is in the header.
        CompletionCase{"LengthBodyMissing", "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\n", 0},
        CompletionCase{"LengthBodyPartial", "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nab", 0},
        CompletionCase{"LengthBodyComplete", "POST /x HTTP/1.0\r\nContent-Length: 5\r\n\r\nabcde", 1},
        CompletionCase{"LengthBodyAndMore", "POST /x HTTP/1.0\r\nContent-Length: 2\r\n\r\nabcde", 1},
        CompletionCase{"LengthZero", "POST /x HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 1},
        CompletionCase{"LengthNameAnyCase", "POST /x HTTP/1.0\r\ncontent-LENGTH:3\r\n\r\nab", 0},
        CompletionCase{"LengthOverridesChatMarker",
                       "POST /x HTTP/1.0\r\nContent-Length: 40\r\n\r\nt=hi&chat_flag=1", 0},
        CompletionCase{"LengthOverridesRegistrationMarker",
                       "POST /x HTTP/1.0\r\nContent-Length: 40\r\n\r\nn=a&submit1=OK", 0},
        CompletionCase{"LengthInUnfinishedHeader",
                       "POST /x HTTP/1.0\r\nContent-Length: 9\r\nX: &chat_flag=", 0},
        CompletionCase{"LengthNotANumberIsIgnored",
                       "POST /x HTTP/1.0\r\nContent-Length: many\r\n\r\n", 1},
        CompletionCase{"LengthOnlyInBodyIsIgnored",
                       "POST /x HTTP/1.0\r\n\r\nContent-Length: 99\r\n\r\n", 1},
        CompletionCase{"HugeLengthNeverCompletes",
                       "POST /x HTTP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\nab", 0}),
    [](const ::testing::TestParamInfo<CompletionCase>& info) {
      return std::string(info.param.name);
    });

// ------------------------------------------------------------------ dispatch

struct DispatchCase {
  const char* name;
  std::string path;
  Page page;
};

class Dispatch : public ChatWebServerTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(Dispatch, FirstNameInPathOrQueryWins) {
  const DispatchCase& c = GetParam();
  std::string body = "<page " + std::to_string(static_cast<int>(c.page)) + ">";
  EXPECT_EQ(ask(get(c.path)), page_answer("200 OK", body, false));
  EXPECT_EQ(result, 1);
  const FakePages::Call& call = only_call();
  EXPECT_EQ(call.kind, "page");
  EXPECT_EQ(call.page, static_cast<int>(c.page));
  EXPECT_EQ(call.ip, kIp);
  EXPECT_EQ(call.text, c.path);  // as it stood, query included, not decoded
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Dispatch,
    ::testing::Values(
        DispatchCase{"Index", "/index.ghp", Page::Index},
        DispatchCase{"Chat", "/chat.ghp?username=ann&room=2", Page::Chat},
        DispatchCase{"Ad", "/ad.ghp", Page::Ad},
        DispatchCase{"Exit", "/exit.ghp?x=%41", Page::Exit},
        DispatchCase{"Users", "/users.ghp?username=ann&password=&room=2", Page::Users},
        DispatchCase{"Body", "/body.ghp", Page::Body},
        DispatchCase{"ChatSubmit", "/chatsubmit.ghp", Page::ChatSubmit},
        DispatchCase{"Register", "/register.ghp", Page::Register},
        DispatchCase{"PreviewIcons", "/previewicons.ghp", Page::PreviewIcons},
        DispatchCase{"FindUser", "/finduser.ghp", Page::FindUser},
        DispatchCase{"NameInsideAWord", "/mychat.ghp", Page::Chat},
        DispatchCase{"NameInQuery", "/page.htm?x=body.ghp", Page::Body},
        DispatchCase{"EarlierRowWins", "/users.ghp?next=index.ghp", Page::Index},
        DispatchCase{"ChatBeforeUsers", "/users.ghp?chat.ghp", Page::Chat},
        DispatchCase{"PageBeforeForbiddenFolder", "/log/body.ghp", Page::Body},
        DispatchCase{"PageBeforeTestStream", "/test.ghp?finduser.ghp", Page::FindUser}),
    [](const ::testing::TestParamInfo<DispatchCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(ChatWebServerTest, RootIsTheDefaultPageWithoutSlash) {
  // HTTP/1.1 keeps its connection unless it asks to close it.
  EXPECT_EQ(ask("GET / HTTP/1.1\r\n\r\n"), page_answer("200 OK", "<page 0>", true));
  EXPECT_EQ(only_call().text, "index.ghp");
}

TEST_F(ChatWebServerTest, RootWithAFileAsDefaultPage) {
  root.write("start.htm", "<p>start</p>");
  server.configure(root.path(), "start.htm");
  EXPECT_EQ(ask(get("/")), standard("200 OK", "<p>start</p>", false, kHtmlFile));
  EXPECT_TRUE(main.pages.calls.empty());
}

TEST_F(ChatWebServerTest, WebRootWithoutSlashStillServesInsideIt) {
  // "/tmp/x-y" without its slash: a path lacking a leading "/" must not name
  // a sibling such as "/tmp/x-ystart.htm" or "/tmp/x-y-other/...".
  std::string bare = root.path().substr(0, root.path().size() - 1);
  root.write("start.htm", "<p>start</p>");
  std::string sibling = bare + "-other/";
  std::filesystem::create_directories(sibling);
  { std::ofstream(sibling + "f.htm") << "sibling"; }
  server.configure(bare, "start.htm");
  EXPECT_EQ(ask(get("/")), standard("200 OK", "<p>start</p>", false, kHtmlFile));
  EXPECT_EQ(ask(get("/start.htm")), standard("200 OK", "<p>start</p>", false, kHtmlFile));
  EXPECT_EQ(ask(get("-other/f.htm")).find("sibling"), std::string::npos);
  std::filesystem::remove_all(sibling);
}

TEST_F(ChatWebServerTest, PageAnswerKeepsTheConnectionWhenAsked) {
  EXPECT_EQ(ask(get("/body.ghp", true)), page_answer("200 OK", "<page 5>", true));
  EXPECT_EQ(keep_alive, 1);
}

TEST_F(ChatWebServerTest, DeclinedPageIsNotFoundAndCloses) {
  main.pages.decline = true;
  keep_alive = 1;
  EXPECT_EQ(ask(get("/users.ghp", true)), short_answer("404 Not Found", "", kNoStore));
  EXPECT_EQ(keep_alive, 0);
  EXPECT_EQ(result, 1);
}

TEST_F(ChatWebServerTest, WithoutPageHandlersEveryPageDeclines) {
  ChatWebServer without(main.site_, nullptr, main.log);
  without.configure(root.path(), "index.ghp");
  EXPECT_EQ(ask_server(without, get("/index.ghp", true)),
            short_answer("404 Not Found", "", kNoStore));
  EXPECT_EQ(keep_alive, 0);
}

TEST_F(ChatWebServerTest, PageBodyPassesThroughUnchanged) {
  struct Binary : FakePages {
    bool page(Page, const std::string&, const HttpRequest&, std::string& out) override {
      out = std::string("a\0b\r\n\xff", 6);
      return true;
    }
  } binary;
  ChatWebServer other(main.site_, &binary, main.log);
  other.configure(root.path(), "index.ghp");
  EXPECT_EQ(ask_server(other, get("/ad.ghp")),
            page_answer("200 OK", std::string("a\0b\r\n\xff", 6), false));
}

// ----------------------------------------------------------------- form posts

TEST_F(ChatWebServerTest, EnteringFromAnotherSiteEntersNobody) {
  for (const std::string enter :
       {"GET /chat.ghp?username=x&password=&room=1&sex=1 HTTP/1.1\r\nHost: h\r\n",
        "POST /chat.ghp HTTP/1.1\r\nHost: h\r\nContent-Length: 33\r\n"}) {
    SCOPED_TRACE(enter);
    const std::string body = enter[0] == 'P' ? "username=x&password=&room=1&sex=1" : "";
    struct Case {
      const char* headers;
      bool handled;
    } cases[] = {
        {"Sec-Fetch-Site: cross-site\r\n", false},
        {"Referer: http://other.example/page.html\r\n", false},
        {"Origin: http://other.example\r\n", false},
        {"Referer: http://h/index.ghp\r\nSec-Fetch-Site: same-origin\r\n", true},  // the start page
        {"", true},  // a script names no site
    };
    for (const Case& c : cases) {
      main.pages.calls.clear();
      const std::string answer = ask(enter + c.headers + "\r\n" + body);
      EXPECT_EQ(main.pages.calls.size(), c.handled ? 1u : 0u) << c.headers;
      if (!c.handled) {
        EXPECT_NE(answer.find("Please enter the chat from its own start page!"), std::string::npos) << answer;
      }
    }
  }
  // The other pages a browser loads from anywhere are untouched.
  main.pages.calls.clear();
  ask("GET /index.ghp HTTP/1.1\r\nHost: h\r\nSec-Fetch-Site: cross-site\r\n\r\n");
  EXPECT_EQ(main.pages.calls.size(), 1u);
}

// The start page enters with a post, the password in the body: answered as
// the address with that query. Only "chat.ghp" without a query and a body
// that starts with the name is an entry; anything else stays a chat post.
TEST_F(ChatWebServerTest, EnteringByPostIsTheAddressWithTheBodyAsQuery) {
  const std::string body = "username=ann&password=s%26cret&room=2&sex=3";
  EXPECT_EQ(ask("POST /chat.ghp HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body),
            page_answer("200 OK", "<page 1>", false));
  EXPECT_EQ(only_call().kind, "page");
  EXPECT_EQ(only_call().page, static_cast<int>(Page::Chat));
  EXPECT_EQ(only_call().text, "/chat.ghp?" + body);
  for (const std::string request :
       {"POST /chat.ghp?room=1 HTTP/1.0\r\n\r\nusername=ann&chat_flag=1",
        "POST /chat.ghp HTTP/1.0\r\n\r\nmessage=username=ann&chat_flag=1",
        "POST /chatsubmit.ghp HTTP/1.0\r\n\r\nusername=ann&chat_flag=1"}) {
    main.pages.calls.clear();
    ask(request);
    EXPECT_EQ(only_call().kind, "chat") << request;
  }
}

TEST_F(ChatWebServerTest, PostGoesToTheChatPost) {
  std::string request = "POST /chatsubmit.ghp?u=ann HTTP/1.0\r\n\r\nt=hi&chat_flag=1";
  EXPECT_EQ(ask(request), page_answer("200 OK", "posted", false));
  const FakePages::Call& call = only_call();
  EXPECT_EQ(call.kind, "chat");
  EXPECT_EQ(call.ip, kIp);
  EXPECT_EQ(call.text, request);
}

TEST_F(ChatWebServerTest, PostToRegistresultGoesToTheRegistration) {
  std::string request = "POST /registresult.htm HTTP/1.0\r\n\r\nn=a&submit1=OK";
  EXPECT_EQ(ask(request, "10.1.1.1"), page_answer("200 OK", "posted", false));
  EXPECT_EQ(only_call().kind, "register");
  EXPECT_EQ(only_call().text, request);
}

// A chat line or a header that names the registration page is still a chat
// line: only the page of the request line routes a post.
TEST_F(ChatWebServerTest, PostMentioningRegistresultElsewhereIsAChatLine) {
  for (const std::string request :
       {"POST /chatsubmit.ghp?u=a HTTP/1.0\r\n\r\nmessage=see+registresult.htm&chat_flag=1",
        "POST /x HTTP/1.0\r\nReferer: http://h/registresult.htm\r\n\r\nt=1&chat_flag=1",
        "POST /chatsubmit.ghp?next=registresult.htm HTTP/1.0\r\n\r\nt=1&chat_flag=1"}) {
    main.pages.calls.clear();
    ask(request);
    EXPECT_EQ(only_call().kind, "chat") << request;
  }
}

TEST_F(ChatWebServerTest, EmptyPostAnswerIsAnEmptyPage) {
  main.pages.post_answer.clear();
  EXPECT_EQ(ask("POST /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"),
            page_answer("200 OK", "", true));
}

// --------------------------------------------------------- answers of their own

TEST_F(ChatWebServerTest, TestStreamIsExactAndKeepsTheConnection) {
  std::string expected =
      "HTTP/1.1 200 OK\r\nServer: Tavella Server\r\n"
      "Keep-Alive: timeout=300000, max=1000000\r\nConnection: Keep-Alive\r\n"
      "Accept-Ranges: bytes\r\nContent-Length: 1000000\r\n" + kGuard + kNoStore +
      "\r\nabccccccc\r\n";
  for (int i = 0; i < 50; ++i) expected += "aaa<br>";
  EXPECT_EQ(ask(get("/x/mytest.ghp?a=1")), expected);
  EXPECT_EQ(response.size() - response.find("\r\n\r\n") - 4, 361u);
  EXPECT_EQ(keep_alive, 1);
  EXPECT_TRUE(main.pages.calls.empty());
}

TEST_F(ChatWebServerTest, ForbiddenFolders) {
  root.write("log/20260101.txt", "secret");
  root.write("users/ann", "secret");
  for (const char* path : {"/log/20260101.txt", "/users/ann", "/rooms/", "/catalog/a.gif",
                           "/a.htm?next=users/x"}) {
    keep_alive = 0;
    EXPECT_EQ(ask(get(path)), standard("403 Forbidden", "403 Forbidden", false)) << path;
  }
  EXPECT_EQ(ask(get("/users/ann", true)), standard("403 Forbidden", "403 Forbidden", true));
  EXPECT_EQ(keep_alive, 1);
}

TEST_F(ChatWebServerTest, StaticFileWithItsContentType) {
  std::string gif("GIF89a\0\x01\x02\xff", 10);
  root.write("pic.gif", gif);
  root.write("style.CSS", "b{}");
  root.write("notes.txt", "hello");
  root.write("README", "plain");
  root.write("page.htm", "<p>hi</p>");
  root.write("odd.xyz", "?");
  root.write("dir.v2/file", "x");
  EXPECT_EQ(ask(get("/pic.gif")), standard("200 OK", gif, false, "image/gif"));
  EXPECT_EQ(ask(get("/style.CSS")),
            standard("200 OK", "b{}", false, "text/css; charset=utf-8"));
  EXPECT_EQ(ask(get("/notes.txt", true)),
            standard("200 OK", "hello", true, "text/plain; charset=utf-8"));
  // Keep-alive is decided per request: the next ones ask to close.
  EXPECT_EQ(ask(get("/README")), standard("200 OK", "plain", false));
  EXPECT_EQ(ask(get("/page.htm")), standard("200 OK", "<p>hi</p>", false, kHtmlFile));
  EXPECT_EQ(ask(get("/odd.xyz")), standard("200 OK", "?", false));
  EXPECT_EQ(ask(get("/dir.v2/file")), standard("200 OK", "x", false));
  EXPECT_EQ(result, 1);
}

// A cache-busting query does not name the file, nor does it decide its type.
TEST_F(ChatWebServerTest, QueryDoesNotNameTheFileNorItsType) {
  root.write("a.htm", "plain");
  root.write("a.gif", "gif");
  root.write("a.gif?x=1.txt", "a file named with the query");
  EXPECT_EQ(ask(get("/a.gif?x=1.txt")), standard("200 OK", "gif", false, "image/gif"));
  EXPECT_EQ(ask(get("/a.htm?x=1")), standard("200 OK", "plain", false, kHtmlFile));
  EXPECT_EQ(ask(get("/a.htm?")), standard("200 OK", "plain", false, kHtmlFile));
  root.write("fnf.html", "<p>none</p>");
  EXPECT_EQ(ask(get("/b.htm?a.htm")), short_answer("404 Resource not found", "<p>none</p>"));
  // The folder's private files stay refused behind a query.
  root.write("option.ini", "[Server]");
  EXPECT_EQ(ask(get("/option.ini?v=1")), standard("403 Forbidden", "403 Forbidden", false));
}

TEST_F(ChatWebServerTest, EmptyFileIsServed) {
  root.write("empty.htm", "");
  EXPECT_EQ(ask(get("/empty.htm")), standard("200 OK", "", false, kHtmlFile));
}

TEST_F(ChatWebServerTest, LargeFileIsServedWhole) {
  std::string big(300000, 'x');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  root.write("big.bin", big);
  EXPECT_EQ(ask(get("/big.bin")), standard("200 OK", big, false, "application/octet-stream"));
}

TEST_F(ChatWebServerTest, MissingFileWithNotFoundPageCloses) {
  root.write("fnf.html", "<p>not found</p>");
  keep_alive = 1;
  EXPECT_EQ(ask(get("/nothere.htm", true)),
            short_answer("404 Resource not found", "<p>not found</p>"));
  EXPECT_EQ(keep_alive, 0);
  EXPECT_EQ(result, 1);
}

TEST_F(ChatWebServerTest, MissingFileWithoutNotFoundPageHasEmptyBody) {
  EXPECT_EQ(ask(get("/nothere.htm", true)), short_answer("404 Resource not found", ""));
  EXPECT_EQ(keep_alive, 0);
}

TEST_F(ChatWebServerTest, FolderIsNotAFile) {
  root.write("sub/a.htm", "a");
  EXPECT_EQ(ask(get("/sub")), short_answer("404 Resource not found", ""));
  EXPECT_EQ(ask(get("/sub/")), short_answer("404 Resource not found", ""));
}

TEST_F(ChatWebServerTest, OtherMethodsGetMnaWith501) {
  root.write("mna.html", "<p>no</p>");
  EXPECT_EQ(ask("OPTIONS /x HTTP/1.0\r\n\r\n"),
            standard("501 Not Implemented", "<p>no</p>", false, kHtmlFile));
  EXPECT_EQ(ask("PUT /index.ghp HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"),
            standard("501 Not Implemented", "<p>no</p>", true, kHtmlFile));
  EXPECT_EQ(ask("get /index.ghp HTTP/1.0\r\n\r\n"),
            standard("501 Not Implemented", "<p>no</p>", false, kHtmlFile));
  // An empty method (the request starts with a blank) too.
  EXPECT_EQ(ask(" /index.ghp HTTP/1.0\r\n\r\n"),
            standard("501 Not Implemented", "<p>no</p>", false, kHtmlFile));
  EXPECT_TRUE(main.pages.calls.empty());
}

TEST_F(ChatWebServerTest, OtherMethodWithoutMnaIsNotFound) {
  root.write("fnf.html", "gone");
  EXPECT_EQ(ask("OPTIONS /x HTTP/1.0\r\n\r\n"), short_answer("404 Resource not found", "gone"));
}

// ---------------------------------------------------------------- keep-alive

// Decided for each request, whatever the connection's flag was: header
// names and tokens without regard to case, HTTP/1.1 kept unless it asks to
// close.
TEST_F(ChatWebServerTest, KeepAliveIsDecidedPerRequest) {
  root.write("a.htm", "a");
  struct Case {
    std::string request;
    int before, after;
  } cases[] = {
      {"GET /a.htm HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 0, 1},
      {"GET /a.htm HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 0, 1},
      {"GET /a.htm HTTP/1.0\r\nconnection:KEEP-ALIVE\r\n\r\n", 0, 1},
      {"GET /a.htm HTTP/1.0\nConnection: Upgrade, keep-alive\n\n", 0, 1},
      {"GET /a.htm HTTP/1.0\r\nConnection: Keep-Alive-ish\r\n\r\n", 0, 0},
      {"GET /a.htm HTTP/1.0\r\nX-Connection: Keep-Alive\r\n\r\n", 0, 0},
      {"GET /a.htm HTTP/1.0\r\n\r\n", 1, 0},
      {"GET /a.htm HTTP/1.0\r\nConnection: close\r\n\r\n", 1, 0},
      {"GET /a.htm HTTP/1.1\r\nHost: x\r\n\r\n", 0, 1},
      {"GET /a.htm HTTP/1.1\r\nConnection: Close\r\n\r\n", 1, 0},
      {"GET /a.htm HTTP/1.1\r\nConnection: keep-alive, close\r\n\r\n", 1, 0},
      // The body of a request is no header.
      {"POST /a.htm HTTP/1.0\r\nContent-Length: 24\r\n\r\nConnection: keep-alive\r\n", 0, 0},
  };
  for (const Case& c : cases) {
    keep_alive = c.before;
    std::string answer = ask(c.request);
    EXPECT_EQ(keep_alive, c.after) << c.request;
    if (c.request.rfind("GET", 0) == 0) {
      EXPECT_EQ(answer, standard("200 OK", "a", c.after != 0, kHtmlFile)) << c.request;
    }
  }
}

// ------------------------------------------------------------------ IP filter

struct FilterCase {
  const char* name;
  int mode;
  std::string accept, reject, ip;
  bool refused;
};

class Filter : public ChatWebServerTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(Filter, RefusesByListEntry) {
  const FilterCase& c = GetParam();
  filter(c.mode, c.accept, c.reject);
  std::string answer = ask(get("/index.ghp", true), c.ip);
  EXPECT_EQ(result, 1);
  if (c.refused) {
    EXPECT_EQ(answer, standard("200 OK", "403 IP Forbidden", true));
    EXPECT_TRUE(main.pages.calls.empty());
  } else {
    EXPECT_EQ(answer, page_answer("200 OK", "<page 0>", true));
  }
  EXPECT_EQ(keep_alive, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Filter,
    ::testing::Values(
        FilterCase{"Off", 0, "", "10.0.0.1", "10.0.0.1", false},
        FilterCase{"RejectEmptyList", 1, "", "", "10.0.0.1", false},
        FilterCase{"RejectListed", 1, "", "1.2.3.4,10.0.0.1", "10.0.0.1", true},
        // Whole entries: a longer listed address covers no shorter one.
        FilterCase{"RejectLongerAddressDoesNotMatch", 1, "", "10.0.0.15", "10.0.0.1", false},
        FilterCase{"RejectInsideAnotherAddress", 1, "", "11.2.3.45", "1.2.3.4", false},
        // An entry ending in "." covers its subnet; "*" any number.
        FilterCase{"RejectSubnetEntry", 1, "", "192.168.1.", "192.168.1.77", true},
        FilterCase{"RejectSubnetEntryOnlyItsSubnet", 1, "", "192.168.1.", "192.168.10.7", false},
        FilterCase{"RejectStarEntry", 1, "", "10.0.0.9,192.168.*.*", "192.168.44.3", true},
        FilterCase{"RejectAddressInsideAPrefix", 1, "", "192.168.1.", "192.168.1", false},
        FilterCase{"RejectOther", 1, "10.0.0.1", "10.0.0.2", "10.0.0.1", false},
        FilterCase{"AcceptEmptyList", 2, "", "", "10.0.0.1", true},
        FilterCase{"AcceptListed", 2, "127.0.0.1,10.0.0.1", "", "10.0.0.1", false},
        FilterCase{"AcceptLeadingComma", 2, ",10.0.0.1", "", "10.0.0.1", false},
        FilterCase{"AcceptLongerAddressIsNotTheClient", 2, ",10.0.0.15", "", "10.0.0.1", true},
        FilterCase{"AcceptStarEntry", 2, "10.0.*.1", "", "10.0.77.1", false},
        FilterCase{"AcceptNotListed", 2, "10.0.0.2", "10.0.0.1", "10.0.0.1", true},
        FilterCase{"OtherModeActsAsAccept", 7, "", "", "10.0.0.1", true},
        FilterCase{"NegativeModeActsAsAccept", -1, "10.0.0.1", "", "10.0.0.1", false}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST_F(ChatWebServerTest, RefusalComesBeforeParsingAndPosts) {
  filter(2, "", "");
  EXPECT_EQ(ask("nonsense"), standard("200 OK", "403 IP Forbidden", false));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ask("POST /x HTTP/1.0\r\n\r\na&chat_flag=1"),
            standard("200 OK", "403 IP Forbidden", false));
  EXPECT_TRUE(main.pages.calls.empty());
}

TEST_F(ChatWebServerTest, ReplacedListAppliesToTheNextRequest) {
  filter(1, "", "");
  EXPECT_EQ(ask(get("/ad.ghp")), page_answer("200 OK", "<page 2>", false));
  main.site_.reject_list.set("10.0.0.1");
  EXPECT_EQ(ask(get("/ad.ghp")), standard("200 OK", "403 IP Forbidden", false));
}

// ------------------------------------------------------------ mended faults

TEST_F(ChatWebServerTest, TraversalNeverReachesTheFileSystem) {
  TempDir outside;
  outside.write("secret.txt", "secret");
  root.write("fnf.html", "nf");
  // The web root's parent holds the other temporary folder, so without the
  // check these would read it.
  std::string up = "/../" + outside.path().substr(5) + "secret.txt";  // strip "/tmp/"
  for (std::string path : {up, std::string("/../../etc/passwd"), std::string("/a/../x.htm"),
                           std::string("/.."), std::string("/x/.."), std::string("..")}) {
    EXPECT_EQ(ask(get(path)), standard("403 Forbidden", "403 Forbidden", false)) << path;
  }
}

TEST_F(ChatWebServerTest, NulInPathIsForbidden) {
  root.write("a.htm", "a");
  std::string path("/a.htm\0.txt", 11);
  EXPECT_EQ(ask(get(path)), standard("403 Forbidden", "403 Forbidden", false));
}

TEST_F(ChatWebServerTest, DotsInsideNamesAreFine) {
  root.write("a..b.htm", "1");
  root.write("..hidden", "2");
  root.write("x../y", "3");
  EXPECT_EQ(ask(get("/a..b.htm")), standard("200 OK", "1", false, kHtmlFile));
  EXPECT_EQ(ask(get("/..hidden")), standard("200 OK", "2", false));
  EXPECT_EQ(ask(get("/x../y")), standard("200 OK", "3", false));
}

TEST_F(ChatWebServerTest, ReadOnlyFileIsServed) {
  root.write("ro.htm", "read only");
  ASSERT_EQ(chmod((root.path() + "ro.htm").c_str(), 0444), 0);
  EXPECT_EQ(ask(get("/ro.htm")), standard("200 OK", "read only", false, kHtmlFile));
}

TEST_F(ChatWebServerTest, ChangedFileIsServedFresh) {
  root.write("a.htm", "first");
  root.write("b.htm", "bbbbb");
  // Files with settled times are cached; let them settle.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "first", false, kHtmlFile));
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "first", false, kHtmlFile));
  root.write("a.htm", "again");  // same size, same second
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "again", false, kHtmlFile));
  root.write("a.htm", "longer text");
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "longer text", false, kHtmlFile));
  EXPECT_EQ(ask(get("/b.htm")), standard("200 OK", "bbbbb", false, kHtmlFile));
  ASSERT_EQ(std::rename((root.path() + "a.htm").c_str(), (root.path() + "b.htm").c_str()), 0);
  EXPECT_EQ(ask(get("/b.htm")), standard("200 OK", "longer text", false, kHtmlFile));
  EXPECT_EQ(ask(get("/a.htm")), short_answer("404 Resource not found", ""));
}

TEST_F(ChatWebServerTest, NewWebRootIsUsedAtOnce) {
  TempDir other;
  root.write("a.htm", "old root");
  other.write("a.htm", "new root");
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "old root", false, kHtmlFile));
  server.configure(other.path(), "index.ghp");
  EXPECT_EQ(ask(get("/a.htm")), standard("200 OK", "new root", false, kHtmlFile));
}

// ---------------------------------------------------------------- error paths

TEST_F(ChatWebServerTest, UnparsableRequestsCloseWithoutAnswer) {
  for (const std::string& request :
       {std::string("GARBAGE\r\n\r\n"), std::string("GET/index.ghp\r\n\r\n"),
        std::string("GET /index.ghp\r\n\r\n"), std::string("GET ")}) {
    ask(request);
    EXPECT_EQ(result, 0) << request;
    EXPECT_TRUE(response.empty()) << request;
  }
  EXPECT_TRUE(main.pages.calls.empty());
}

TEST_F(ChatWebServerTest, PortOutsideTheRangeIsRefusedLikeATakenPort) {
  std::vector<std::string> messages;
  set_message_sink([&](const std::string& caption, const std::string& text, MessageIcon) {
    messages.push_back(caption + ": " + text);
  });
  // 99999 and 65616 would have listened on 34463 and 80, -1 on 65535.
  const int ports[] = {99999, 65616, -1, 0, 65536, -65535};
  for (int port : ports) {
    messages.clear();
    EXPECT_EQ(server.Start(root.path(), "index.ghp", port, 0), 0) << port;
    EXPECT_FALSE(server.running()) << port;
    ASSERT_EQ(messages.size(), 1u) << port;
    EXPECT_EQ(messages[0],
              "Tavella: Error starting the Web Server.This may be due to another service running "
              "on the port " + std::to_string(port) +
                  ",Try changing the port number and then starting the server again.");
  }
  messages.clear();
  // A port inside the range starts as before.
  test::PortReservation reserved;
  ASSERT_EQ(server.Start(root.path(), "index.ghp", reserved.port(), 0), 1);
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.port(), reserved.port());
  server.Shutdown();
  // Port 0 passes only when the system is asked to choose, which the
  // server then tells.
  server.set_any_port(true);
  ASSERT_EQ(server.Start(root.path(), "index.ghp", 0, 0), 1);
  EXPECT_GT(server.port(), 0);
  server.Shutdown();
  set_message_sink(nullptr);
  EXPECT_TRUE(messages.empty());
}

TEST_F(ChatWebServerTest, HooksOfConnectAndSentDoNothing) {
  EXPECT_EQ(server.OnConnect(kIp, 1234), 0);
  EXPECT_EQ(server.OnSent(10), 0);
}

// ------------------------------------------------------------- content types

TEST(ContentTypes, TableHasItsExtensionsWithLaterRowsWinning) {
  TestMain main;
  ChatWebServer server(main.site_, &main.pages, main.log);
  EXPECT_EQ(server.content_type_count(), 78u);
  struct {
    const char* path;
    const char* type;
  } cases[] = {
      {"a.arj", "application/x-compressed"}, {"a.rtf", "text/richtext; charset=utf-8"},
      {"a.doc", "application/msword"},       {"a.dll", "application/octet-stream"},
      {"a.ps", "application/postscript"},    {"a.js", "application/x-javascript; charset=utf-8"},
      {"a.cab", "application/x-compressed"}, {"a.aifc", "audio/aiff"},
      {"a.rmi", "audio/midi"},               {"a.ram", "audio/x-pn-realaudio"},
      {"a.JPG", "image/jpeg"},               {"a.jpeg", "image/jpeg"},
      {"a.tiff", "image/tiff"},              {"a.wrl", "model/vrml"},
      {"a.cpp", "text/plain; charset=utf-8"}, {"a.h", "text/plain; charset=utf-8"},
      {"a.rtx", "text/richtext; charset=utf-8"}, {"a.java", "text/x-java-source; charset=utf-8"},
      {"a.mpe", "video/mpeg"},               {"a.avi", "video/msvideo"},
      {"a.qt", "video/quicktime"},           {"a.shtml", "wwwserver/html-ssi"},
      {"a.wcgi", "wwwserver/isapi"},         {"a.asa", "wwwserver/isapi"},
      {"a.html", "text/html; charset=utf-8"}, {"a.png", "image/png"},
      {"a.svg", "image/svg+xml; charset=utf-8"}, {"a.ICO", "image/x-icon"},
      {"a.webp", "image/webp"},              {"a.json", "application/json; charset=utf-8"},
      {"a.woff2", "font/woff2"},             {"a.mp4", "video/mp4"},
      {"a.txt", "text/plain; charset=utf-8"}, {"a.xml", "application/xml; charset=utf-8"},
      {"a.wasm", "application/wasm"},        {"a.css", "text/css; charset=utf-8"},
      {"a.woff", "text/html"},
      {"/a.tar.gz", "application/x-gzip"},   {"/a.gif?x=.txt", "image/gif"},
      {"/a?x=.gif", "text/html"},            {"/dir.gif/name", "text/html"},
      {"/name.", "text/html"},               {"", "text/html"},
  };
  for (const auto& c : cases) EXPECT_EQ(server.content_type_for(c.path), c.type) << c.path;
}

// ---------------------------------------------------------------------- date

TEST(HttpDate, EnglishNamesInUtc) {
  char text[32];
  EXPECT_EQ(std::string(text, format_http_date(0, text)), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(std::string(text, format_http_date(784111777, text)),
            "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(std::string(text, format_http_date(1798761599, text)),
            "Thu, 31 Dec 2026 23:59:59 GMT");
}

TEST_F(ChatWebServerTest, AnswerCarriesTheCurrentDate) {
  std::time_t before = std::time(nullptr);
  ask(get("/ad.ghp"));
  std::time_t after = std::time(nullptr);
  std::size_t at = response.find("\r\nDate: ");
  ASSERT_NE(at, std::string::npos);
  std::string date = response.substr(at + 8, response.find("\r\n", at + 8) - at - 8);
  std::tm t{};
  ASSERT_NE(strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &t), nullptr) << date;
  std::time_t when = timegm(&t);
  EXPECT_GE(when, before);
  EXPECT_LE(when, after);
  char expected[32];
  EXPECT_EQ(date, std::string(expected, format_http_date(when, expected)));
}

// With an empty WebPages the web folder is the program folder: the files the
// program keeps for itself there are refused like users/ and log/, the site
// is served.
TEST_F(ChatWebServerTest, TheProgramsOwnFilesAreNeverServed) {
  const char* const kPrivate[] = {
      "option.ini",   "rooms.sdb",   "service.log",  "acceptip.txt",      "rejectip.txt",
      "tvlService",   "Tavella",     "sdbtool",      "rooms.txt",         "events.log",
      "OPTION.INI",   "Rooms.SDB",   "other.sdb",    "settings.ini",      "option.ini.tmp-123",
      "users.tmp-1",  "sub/option.ini", "tavella.pid", "registry.txt", "service.lock",
      "tavella-service.status"};
  for (const char* name : kPrivate) {
    root.write(name, "private");
    EXPECT_EQ(ask(get(std::string("/") + name)), standard("403 Forbidden", "403 Forbidden", false))
        << name;
  }
  for (const char* name : {"index.htm", "chat.htm", "fnf.html", "images/1.gif", "help/index.html",
                           "face/2.gif", "tavella.css", "options.htm"}) {
    root.write(name, "site");
    EXPECT_EQ(ask(get(std::string("/") + name)).find("HTTP/1.0 200 OK"), 0u) << name;
  }
}

// A link inside the web folder is followed only while it stays inside.
TEST_F(ChatWebServerTest, LinksLeadingOutOfTheFolderAreNotFollowed) {
  TempDir outside;
  outside.write("secret.txt", "secret");
  outside.write("dir/inner.txt", "secret too");
  root.write("fnf.html", "nf");
  root.write("real.htm", "inside");
  root.write("sub/page.htm", "inside too");
  ASSERT_EQ(::symlink((outside.path() + "secret.txt").c_str(), (root.path() + "leak.txt").c_str()), 0);
  ASSERT_EQ(::symlink((outside.path() + "dir").c_str(), (root.path() + "linkdir").c_str()), 0);
  ASSERT_EQ(::symlink("/etc/passwd", (root.path() + "passwd.htm").c_str()), 0);
  ASSERT_EQ(::symlink((root.path() + "real.htm").c_str(), (root.path() + "alias.htm").c_str()), 0);
  ASSERT_EQ(::symlink("sub", (root.path() + "subalias").c_str()), 0);
  for (const char* path : {"/leak.txt", "/linkdir/inner.txt", "/passwd.htm"})
    EXPECT_EQ(ask(get(path)), short_answer("404 Resource not found", "nf")) << path;
  EXPECT_EQ(ask(get("/alias.htm")), standard("200 OK", "inside", false, kHtmlFile));
  EXPECT_EQ(ask(get("/subalias/page.htm")), standard("200 OK", "inside too", false, kHtmlFile));
}

// The program's own files are judged by where a link really leads, not by
// the name asked for.
TEST_F(ChatWebServerTest, LinksToTheProgramsOwnFilesServeNothing) {
  root.write("fnf.html", "nf");
  root.write("option.ini", "[Server]\r\n");
  root.write("users/ann", "[main]\r\npassword=pw\r\n");
  root.write("help/index.html", "help");
  ASSERT_EQ(::symlink("../option.ini", (root.path() + "help/settings.txt").c_str()), 0);
  ASSERT_EQ(::symlink("../users/ann", (root.path() + "help/ann.txt").c_str()), 0);
  ASSERT_EQ(::symlink("users", (root.path() + "people").c_str()), 0);
  for (const char* path : {"/help/settings.txt", "/help/ann.txt", "/people/ann"})
    EXPECT_EQ(ask(get(path)), short_answer("404 Resource not found", "nf")) << path;
  EXPECT_EQ(ask(get("/help/index.html")), standard("200 OK", "help", false, kHtmlFile));
}

TEST_F(ChatWebServerTest, AWebFolderReachedThroughALinkServesItsFiles) {
  TempDir holder;
  root.write("page.htm", "page");
  const std::string link = holder.path() + "www";
  ASSERT_EQ(::symlink(root.path().c_str(), link.c_str()), 0);
  server.configure(link, "index.ghp");
  EXPECT_EQ(ask(get("/page.htm")), standard("200 OK", "page", false, kHtmlFile));
}

// The chat window's beacon leaves the room with a POST to exit.ghp: it is
// the exit page, not a chat line. A chat line whose query merely mentions
// the name is still a chat line.
TEST_F(ChatWebServerTest, APostToTheExitPageIsTheExitPage) {
  ask("POST /exit.ghp?username=ann&password=k&room=1 HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(only_call().kind, "page");
  EXPECT_EQ(only_call().page, static_cast<int>(Page::Exit));
  EXPECT_EQ(only_call().text, "/exit.ghp?username=ann&password=k&room=1");
  main.pages.calls.clear();
  ask("POST /chatsubmit.ghp?username=exit.ghp&password=k&room=1 HTTP/1.1\r\n\r\nmessage=x&chat_flag=1");
  EXPECT_EQ(only_call().kind, "chat");
}

// A page of another site cannot end a place through the visitor's browser;
// the chat's own page can.
TEST_F(ChatWebServerTest, ACrossSiteExitChangesNothing) {
  const std::string exit_post = "POST /exit.ghp?username=ann&password=k&room=1 HTTP/1.1\r\nHost: chat.example:8080\r\n";
  ask(exit_post + "Origin: http://evil.example\r\nContent-Length: 0\r\n\r\n");
  EXPECT_TRUE(main.pages.calls.empty());
  ask(exit_post + "Origin: http://chat.example:8080\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(only_call().page, static_cast<int>(Page::Exit));
}

}  // namespace
}  // namespace tvl
