// tvlctl as a real process against a running tvlService on a free port (the
// server makes each change and sees it at once) and against the files of a
// stopped one. Private state and configuration folders; only 127.0.0.1.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "platform/fs.h"
#include "ops/control_server.h"
#include "tests/support/child_process.h"
#include "tests/support/service_folder.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::TempDir;

class Tvlctl : public ::testing::Test {
 protected:
  test::ServiceFolder site_{"chat/"};
  const TempDir& root_ = site_.root();
  const std::string folder_ = site_.path();
  const int port_ = site_.port();

  void set_port(int port) {
    ASSERT_TRUE(site_.write_options("[Server]\r\nport=" + std::to_string(port) + "\r\n"));
  }

  test::Finished ctl(const std::vector<std::string>& args) {
    return test::run_to_end(folder_ + "tvlctl", args);
  }
  // With `input` on standard input.
  test::Finished ctl_with_input(const std::vector<std::string>& args, const std::string& input) {
    const std::string file = root_.path() + "input.txt";
    EXPECT_TRUE(write_whole_file(file, input));
    std::vector<std::string> sh = {"-c", "f=$1; shift; exec \"$@\" < \"$f\"", "sh", file,
                                   folder_ + "tvlctl"};
    sh.insert(sh.end(), args.begin(), args.end());
    return test::run_to_end("/bin/sh", sh);
  }

  bool start(ChildProcess& service) { return site_.start_service(service); }

  std::string get(const std::string& path, int port = 0) {
    return test::http_exchange(port ? port : port_, "GET " + path + " HTTP/1.0\r\n\r\n", 3000);
  }
  // True when the chat page of room 1 is the member's own room page.
  bool logs_in(const std::string& name, const std::string& password, int port = 0) {
    return get("/chat.ghp?username=" + name + "&password=" + password + "&room=1", port)
               .find("<meta name=\"tvl-page\" content=\"chat\">") != std::string::npos;
  }
};

TEST_F(Tvlctl, ARunningServerSeesEveryChangeAtOnce) {
  ChildProcess service;
  ASSERT_TRUE(start(service)) << service.out() << service.err();
  struct stat st{};
  ASSERT_EQ(::stat(control_socket_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(get("/index.ghp").find("Garden"), std::string::npos);
  test::Finished r = ctl({"room", "add", "Garden", "--guests", "yes"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(get("/index.ghp").find("Garden"), std::string::npos);

  EXPECT_FALSE(logs_in("bob", "pw2"));
  r = ctl_with_input({"user", "add", "bob", "--password-stdin"}, "pw2\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "user bob added\n");
  EXPECT_FALSE(logs_in("bob", "wrong"));
  EXPECT_TRUE(logs_in("bob", "pw2"));

  r = ctl({"online"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("bob\tLobby\t127.0.0.1\tidle ", 0), 0u) << r.out;
  EXPECT_EQ(ctl({"kick", "BOB"}).out, "BOB kicked\n");
  EXPECT_EQ(ctl({"online", "--json"}).out, "[]\n");
  r = ctl({"kick", "bob"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: bob is not online\n");

  // A refused change is refused by the server with the same words.
  r = ctl_with_input({"user", "add", "Bob", "--password-stdin"}, "x\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: This username already exist!\n");

  // reload: the new port is served, the old one no longer.
  test::PortReservation reserved;
  const int second = reserved.port();
  set_port(second);
  r = ctl({"reload"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(get("/fnf.html").rfind("HTTP/1.0 200", 0), std::string::npos);
  EXPECT_EQ(get("/fnf.html", second).rfind("HTTP/1.0 200", 0), 0u);
  EXPECT_TRUE(logs_in("bob", "pw2", second));

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
  EXPECT_FALSE(is_regular_file(control_socket_path()) || fs::exists(control_socket_path()));
}

// Each row says since when the visitor is online: the local time of the
// join, and in --json the same instant in UTC. A member who enters again
// with the password takes the place over, and it goes on: same time.
TEST_F(Tvlctl, OnlineSaysSinceWhenEachVisitorIsOnline) {
  ChildProcess service;
  ASSERT_TRUE(start(service)) << service.out() << service.err();
  ASSERT_EQ(ctl_with_input({"user", "add", "bob", "--password-stdin"}, "pw\n").exit_code, 0);
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(logs_in("bob", "pw"));
  const std::time_t after = std::time(nullptr);

  const std::regex row("bob\tLobby\t127\\.0\\.0\\.1\tidle \\d+ s\tsince "
                       "(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\n");
  test::Finished r = ctl({"online"});
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.out, m, row)) << r.out << r.err;
  const std::string shown = m[1].str();
  std::tm local{};
  ASSERT_NE(::strptime(shown.c_str(), "%Y-%m-%d %H:%M:%S", &local), nullptr);
  local.tm_isdst = -1;
  const std::time_t since = std::mktime(&local);
  EXPECT_GE(since, before) << shown;
  EXPECT_LE(since, after) << shown;

  r = ctl({"online", "--json"});
  const std::regex json("\\[\\{\"name\":\"bob\",.*\"online_since\":\"([0-9T:Z-]+)\",\"banned\":false\\}\\]\n");
  ASSERT_TRUE(std::regex_match(r.out, m, json)) << r.out;
  std::tm utc{};
  ASSERT_NE(::strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc), nullptr) << r.out;
  EXPECT_EQ(::timegm(&utc), since) << r.out;

  // Once the clock has gone on, the member enters again: the place's time stays.
  ASSERT_TRUE(test::eventually([&] { return std::time(nullptr) > after; }));
  ASSERT_TRUE(logs_in("bob", "pw"));
  r = ctl({"online"});
  ASSERT_TRUE(std::regex_match(r.out, m, row)) << r.out;
  EXPECT_EQ(m[1].str(), shown);
}

TEST_F(Tvlctl, WithoutAServerItWorksOnTheFilesTheNextStartReads) {
  test::Finished r = ctl_with_input({"user", "add", "ann", "--password-stdin"}, "pw\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(ctl({"room", "add", "Attic"}).exit_code, 0);
  r = ctl({"online"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "tvlctl: no server is running: nobody is online\n");
  EXPECT_EQ(ctl({"reload"}).exit_code, 0);

  ChildProcess service;
  ASSERT_TRUE(start(service)) << service.out() << service.err();
  EXPECT_TRUE(logs_in("ann", "pw"));
  EXPECT_NE(get("/index.ghp").find("Attic"), std::string::npos);
}

// A server that serves the folder but cannot be reached (its socket removed,
// or kept in another state folder than tvlctl's) keeps its files: tvlctl
// changes nothing and says why; once the server has ended they are tvlctl's.
TEST_F(Tvlctl, AServerThatDoesNotAnswerKeepsItsFilesFromTvlctl) {
  ChildProcess service;
  ASSERT_TRUE(start(service)) << service.out() << service.err();
  std::string rooms_before;
  ASSERT_TRUE(read_whole_file(folder_ + "rooms.sdb", rooms_before));
  const TempDir other_state;
  // tvlctl with another state folder: no socket there at all.
  auto elsewhere = [&](std::vector<std::string> args, const std::string& input) {
    args.insert(args.begin(), {"TAVELLA_STATE_DIR=" + other_state.path(), folder_ + "tvlctl"});
    const std::string file = root_.path() + "input.txt";
    EXPECT_TRUE(write_whole_file(file, input));
    std::vector<std::string> sh = {"-c", "f=$1; shift; exec /usr/bin/env \"$@\" < \"$f\"", "sh", file};
    sh.insert(sh.end(), args.begin(), args.end());
    return test::run_to_end("/bin/sh", sh);
  };
  const std::string refused = "tvlctl: a server serves " + folder_ + " but does not answer";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"room", "add", "Yard"},
        std::vector<std::string>{"user", "add", "ann", "--password-stdin"},
        std::vector<std::string>{"online"}}) {
    test::Finished r = elsewhere(args, "pw\n");
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_EQ(r.err.rfind(refused, 0), 0u) << r.err;
  }
  // The server's own socket removed.
  ASSERT_EQ(::unlink(control_socket_path().c_str()), 0);
  test::Finished r = ctl({"room", "add", "Yard"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind(refused, 0), 0u) << r.err;
  std::string rooms_after;
  ASSERT_TRUE(read_whole_file(folder_ + "rooms.sdb", rooms_after));
  EXPECT_TRUE(rooms_after == rooms_before);
  EXPECT_FALSE(fs::exists(folder_ + "users/ann"));

  service.signal(SIGTERM);
  ASSERT_EQ(service.wait(), 0);
  r = ctl({"room", "add", "Yard"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ctl({"room", "list"}).out.find("Yard"), std::string::npos);
}

TEST_F(Tvlctl, ErrorPathUsageAndFoldersAreCheckedBeforeAnything) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_start;
  } cases[] = {
      {{}, 2, "tvlctl: a command is missing\n"},
      {{"--verbose", "user", "list"}, 2, "tvlctl: unknown option \"--verbose\"\n"},
      {{"--folder"}, 2, "tvlctl: option --folder needs a value\n"},
      {{"--folder", "/nonexistent/x", "user", "list"}, 1, "tvlctl: no program folder /nonexistent/x/\n"},
      {{"log", "--tail"}, 2, "tvlctl: unknown option \"--tail\"\n"},
  };
  for (const Case& c : cases) {
    test::Finished r = ctl_with_input(c.args, "");
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(r.exit_code, c.status) << shown;
    EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << shown << r.err;
  }
  test::Finished help = ctl({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("Usage: tvlctl [--folder DIR] COMMAND", 0), 0u);
}

}  // namespace
}  // namespace tvl
