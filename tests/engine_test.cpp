// ChatEngine as a window uses it: the log-row sink and the port probe.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chat/engine.h"
#include "platform/fs.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

RoomInfo lobby() { return test::room_info("Lobby"); }

// The sink sees every chat event first, with the chat lock held, and the
// day's file gets the same line afterwards.
TEST(EngineTest, LogRowSinkRunsFirstUnderTheChatLock) {
  test::TestEnvironment env;
  test::TempDir folder;
  folder.write("users/.keep", "");
  folder.write("chat.htm", "chat");
  folder.write("option.ini", "[Server]\r\nSavelog=1\r\n");
  ASSERT_TRUE(test::write_room_file(folder.path(), {lobby()}));
  ChatEngine engine;
  engine.load(folder.path());

  struct Row {
    std::string address, time, text;
    bool lock_held;
    std::string file_before;
  };
  std::vector<Row> rows;
  engine.set_log_row_sink([&](const std::string& a, const std::string& t, const std::string& x) {
    // Asked from another thread: try_lock by the owner itself is undefined.
    bool held = false;
    std::thread probe([&] {
      held = !engine.state().chat_lock_free();
    });
    probe.join();
    std::string file;
    read_whole_file(engine.chat_log().path(), file);
    rows.push_back({a, t, x, held, file});
  });
  engine.server().set_any_port(true);
  ASSERT_EQ(engine.start(0), 1);
  std::string out;
  const std::string path = "/chat.ghp?username=ann&password=&room=1&sex=1";
  const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
  ASSERT_TRUE(engine.pages().page(Page::Chat, path, parse_request(request, "10.1.2.3"), out));
  engine.stop();

  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].address, "10.1.2.3");
  EXPECT_EQ(rows[0].text, "ann joined the [Lobby]");
  EXPECT_TRUE(rows[0].lock_held);
  EXPECT_EQ(rows[0].file_before, "");
  std::string file;
  ASSERT_TRUE(read_whole_file(engine.chat_log().path(), file));
  EXPECT_EQ(file, "10.1.2.3 " + rows[0].time + " ann joined the [Lobby]\r\n");

  // Without a sink only the file is written.
  engine.set_log_row_sink(nullptr);
  engine.log_chat_event("10.1.2.4", "10:00:00", "plain");
  ASSERT_TRUE(read_whole_file(engine.chat_log().path(), file));
  EXPECT_NE(file.find("10.1.2.4 10:00:00 plain\r\n"), std::string::npos);
  EXPECT_EQ(rows.size(), 1u);
}

TEST(EngineTest, ListenProblemFollowsTheServer) {
  test::TestEnvironment env;
  test::TempDir folder;
  ChatEngine engine;
  engine.load(folder.path());
  // A reserved port: the probe, like the server, binds beside the
  // reservation, which only keeps others from taking it.
  test::PortReservation reserved;
  const int port = reserved.port();
  EXPECT_EQ(engine.listen_problem(port), "");
  ASSERT_EQ(engine.start(port), 1);
  EXPECT_NE(engine.listen_problem(port), "");
  ASSERT_EQ(engine.stop(), 1);
  EXPECT_EQ(engine.listen_problem(port), "");
  EXPECT_NE(engine.listen_problem(0), "");
  EXPECT_NE(engine.listen_problem(65536), "");
  // The probe honours ListenAddress: an address of no interface here.
  engine.site().settings.listen_address = "192.0.2.1";
  EXPECT_NE(engine.listen_problem(port), "");
}

}  // namespace
}  // namespace tvl
