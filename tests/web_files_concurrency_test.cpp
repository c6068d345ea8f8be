// Client threads answering file requests while the files change, the file
// cache fills and empties, and the IP lists are replaced: every answer must
// be one whole version of a file, never a mix or a freed text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "server/chat_web_server.h"
#include "storage/chat_log.h"
#include "storage/settings.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

TEST(WebFilesConcurrency, AnswersStayWholeWhileFilesAndListsChange) {
  test::TestEnvironment env;
  test::TempDir root;
  const std::string a(5000, 'a'), b(7000, 'b');
  root.write("stable.htm", std::string(3000, 's'));
  root.write("moving.htm", a);
  // Old enough to be cached from the start.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));

  SiteData site;
  site.settings.filter_mode = 1;
  ChatLog log;
  ChatWebServer server(site, nullptr, log);
  server.configure(root.path(), "index.ghp");

  // The readers keep going for as long as the writer changes things, and
  // each makes at least 400 requests; the one each makes after seeing the
  // writer finish finds the address allowed, so every reader has at least
  // one answer to check whatever the scheduling was.
  std::atomic<bool> stop{false};
  std::atomic<int> running{0}, bad{0}, refused{0}, answered{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      ++running;
      for (int i = 0;; ++i) {
        const bool last = stop && i >= 400;
        const char* path = i % 2 ? "GET /moving.htm HTTP/1.0\r\n\r\n" : "GET /stable.htm HTTP/1.0\r\n\r\n";
        Answer answer = server.HandleRequest("10.0.0.1", path, false);
        if (!answer.send) {
          ++bad;
        } else {
          const std::string response = test::wire_bytes(answer);
          std::size_t body = response.find("\r\n\r\n") + 4;
          std::string content = response.substr(body);
          if (content == "403 IP Forbidden") {
            ++refused;
          } else if (i % 2 ? (content != a && content != b) : content != std::string(3000, 's')) {
            ++bad;
          } else {
            ++answered;
          }
        }
        if (last) break;
      }
    });
  }
  std::thread writer([&] {
    while (running < 4) std::this_thread::yield();
    for (int i = 0; i < 60; ++i) {
      // Replaced by rename so a reader sees either version whole.
      root.write("moving.tmp", i % 2 ? a : b);
      std::rename((root.path() + "moving.tmp").c_str(), (root.path() + "moving.htm").c_str());
      site.reject_list.set(i % 3 == 0 ? "10.0.0.1" : "10.0.0.2,10.0.0.3");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    site.reject_list.set("10.0.0.2");
    stop = true;
  });
  writer.join();
  for (std::thread& r : readers) r.join();

  EXPECT_EQ(bad, 0);
  EXPECT_GE(answered, 4);
  EXPECT_GE(answered + refused, 4 * 400);
}

}  // namespace
}  // namespace tvl
