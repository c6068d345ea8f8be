// tvlService as real processes on the built-in service manager: serving in
// the foreground, install / start / stop / uninstall through the command
// line with their exit codes and messages, the states the service reports,
// the single-instance lock between processes, the service log and its
// "LogLevel", and the notification protocol of a systemd start.
// Every test runs its own copy of the program folder on a reserved port, with
// private state and configuration folders, and kills what it started.
#include <gtest/gtest.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include "platform/fs.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry_file.h"
#include "platform/system_log.h"
#include "service/builtin_service_manager.h"
#include "service/service_host.h"
#include "tests/support/child_process.h"
#include "tests/support/service_folder.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::TempDir;
using test::TestEnvironment;

const char kBanner[] =
    "******************************************\n"
    "*   Tavella Service        *\n"
    "*              Version 1.2               *\n"
    "*      KTR Software, Inc.                *\n"
    "******************************************\n"
    "\n";

const char kName[] = "Tavella Service";

class ServiceProcess : public ::testing::Test {
 protected:
  // The program folder: its path holds "/u", "/s", "-s", "-i".
  test::ServiceFolder site_{"usr-i/srv-s/", "Startup=1\r\n"};
  const TestEnvironment& env_ = site_.environment();
  const TempDir& root_ = site_.root();
  const std::string folder_ = site_.path();
  const std::string program_ = folder_ + "tvlService";
  const int port_ = site_.port();

  void SetUp() override { ASSERT_TRUE(is_regular_file(program_)); }

  // Kills every service process the built-in manager's files name.
  void TearDown() override {
    std::set<int> pids;
    ServiceStatusLine s;
    if (read_status_file(kName, s)) pids.insert(s.pid);
    for (const ServiceStatusLine& line : journal()) pids.insert(line.pid);
    for (int pid : pids)
      if (pid > 0 && pid != current_process_id() && process_alive(pid)) ::kill(pid, SIGKILL);
  }

  void write_option_ini(const std::string& text) { ASSERT_TRUE(site_.write_options(text)); }

  test::Finished tvl(const std::vector<std::string>& args) {
    return test::run_to_end(program_, args);
  }

  std::vector<ServiceStatusLine> journal() {
    std::vector<ServiceStatusLine> lines;
    std::string text;
    read_whole_file(BuiltinServiceManager::journal_path(kName), text);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      ServiceStatusLine s;
      if (parse_status_line(text.substr(start, end - start), s)) lines.push_back(s);
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return lines;
  }

  std::string events() {
    std::string text;
    read_whole_file(system_event_file(), text);
    return text;
  }

  bool chat_answers() {
    std::string answer = test::http_exchange(port_, "GET /fnf.html HTTP/1.0\r\n\r\n", 3000);
    return answer.rfind("HTTP/1.0 200", 0) == 0;
  }

  std::string service_log() {
    std::string text;
    read_whole_file(folder_ + "service.log", text);
    return text;
  }

  std::string started_line() const { return site_.started_line(); }

  // Sends `stop_signal`: the service ends with status 0, its output's last
  // line telling that the chat server stopped.
  static void expect_stops_on(ChildProcess& service, int stop_signal) {
    service.signal(stop_signal);
    EXPECT_EQ(service.wait(), 0);
    const std::string out = service.out();
    EXPECT_TRUE(out.size() > 20 && out.compare(out.size() - 20, 20, "chat server stopped\n") == 0)
        << out;
  }
};

// ---- run by hand: the foreground server ----------------------------------

TEST_F(ServiceProcess, ByHandItServesInTheForegroundUntilAStopSignal) {
  for (int stop_signal : {SIGTERM, SIGINT}) {
    ChildProcess service;
    ASSERT_TRUE(service.start(program_, {}));
    ASSERT_TRUE(service.wait_for_output(started_line())) << service.out();
    // The path's "/u", "/s", "-i" and "-s" selected nothing: this is the service.
    ASSERT_EQ(service.out().rfind(kBanner, 0), 0u) << service.out();
    std::regex started(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d Chat Server started on port \d+\n)");
    EXPECT_TRUE(std::regex_match(service.out().substr(sizeof kBanner - 1), started))
        << service.out();
    EXPECT_TRUE(chat_answers());

    expect_stops_on(service, stop_signal);
    EXPECT_EQ(service.err(), "");
    EXPECT_FALSE(chat_answers());
  }
  std::string text = events();
  EXPECT_LT(text.find("Tavella Service["), text.find("Service started"));
  EXPECT_LT(text.find("Service started"), text.find("Service stopped"));
  // Run by hand, nobody's status files are written.
  EXPECT_TRUE(journal().empty());
}

TEST_F(ServiceProcess, AStopEndsItWhileClientsAreStalledSilentOrHalfway) {
  ASSERT_TRUE(write_whole_file(folder_ + "big.html", std::string(16u << 20, 'b')));
  ChildProcess service;
  ASSERT_TRUE(service.start(program_, {}));
  ASSERT_TRUE(service.wait_for_output(started_line())) << service.out();
  std::vector<std::unique_ptr<test::RawClient>> clients;
  auto client = [&]() -> test::RawClient& {
    clients.push_back(std::make_unique<test::RawClient>());
    return *clients.back();
  };
  for (int i = 0; i < 10; ++i) {  // ask for a large answer and never read it
    test::RawClient& c = client();
    ASSERT_TRUE(c.connect(port_));
    ASSERT_TRUE(c.send("GET /big.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
  }
  for (int i = 0; i < 10; ++i) {  // half a request
    test::RawClient& c = client();
    ASSERT_TRUE(c.connect(port_));
    ASSERT_TRUE(c.send("GET /fnf.html HTTP/1.0\r\nHost: x"));
  }
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(client().connect(port_));
  EXPECT_TRUE(chat_answers());

  expect_stops_on(service, SIGTERM);
}

TEST_F(ServiceProcess, ASecondServiceBodyEndsAtOnceBecauseOfTheLock) {
  ChildProcess first;
  ASSERT_TRUE(first.start(program_, {}));
  ASSERT_TRUE(first.wait_for_output(started_line())) << first.out();

  // Another copy on another port, so only the lock can stop it.
  test::PortReservation other;
  const int other_port = other.port();
  write_option_ini("[Server]\r\nport=" + std::to_string(other_port) + "\r\n");
  ChildProcess second;
  ASSERT_TRUE(second.start(program_, {}));
  EXPECT_EQ(second.wait(10000), 0);
  EXPECT_EQ(second.out(), kBanner);
  EXPECT_NE(test::http_exchange(other_port, "GET / HTTP/1.0\r\n\r\n", 500).rfind("HTTP", 0), 0u);

  EXPECT_TRUE(chat_answers());  // the first one serves on
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);
}

// A second server on the same program folder with a state folder of its own
// (so another single-instance lock) ends with a failure before it removes,
// tightens or writes anything of the first one's in the folder.
TEST_F(ServiceProcess, ASecondServerOnTheSameFolderTouchesNothingOfTheFirst) {
  ChildProcess first;
  ASSERT_TRUE(first.start(program_, {}));
  ASSERT_TRUE(first.wait_for_output(started_line())) << first.out();
  // What the first one may have there: an account file being written, a
  // chat log file, its service log.
  const std::string in_progress = folder_ + "users/.#ann.tmp-1-0";
  ASSERT_TRUE(write_whole_file(in_progress, "[Info]\r\n"));
  const std::string day_log = folder_ + "log/old.txt";
  ASSERT_TRUE(write_whole_file(day_log, "row\n"));
  ASSERT_EQ(::chmod(day_log.c_str(), 0644), 0);
  ASSERT_TRUE(test::eventually([&] { return service_log().find("Tavella Service started") != std::string::npos; }))
      << service_log();
  const std::string log_before = service_log();

  test::PortReservation other;  // the port the second one would take
  const int other_port = other.port();
  ASSERT_NE(other_port, 0);
  write_option_ini("[Server]\r\nport=" + std::to_string(other_port) + "\r\n");
  TempDir other_state;
  ChildProcess second;
  ASSERT_TRUE(second.start("/usr/bin/env", {"TAVELLA_STATE_DIR=" + other_state.path(), program_}));
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.out(), kBanner);
  EXPECT_EQ(second.err(), "Tavella Service: Another server serves the program folder " + folder_ +
                              " (or tvlctl is changing its files): this one does not start\n");
  EXPECT_TRUE(fs::exists(in_progress));
  struct stat st{};
  ASSERT_EQ(::stat(day_log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(service_log(), log_before);
  EXPECT_NE(test::http_exchange(other_port, "GET / HTTP/1.0\r\n\r\n", 500).rfind("HTTP", 0), 0u);

  EXPECT_TRUE(chat_answers());  // the first one serves on
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(), 0);
  // Ended, it holds the folder no more: the next server starts there.
  ChildProcess third;
  ASSERT_TRUE(third.start("/usr/bin/env", {"TAVELLA_STATE_DIR=" + other_state.path(), program_}));
  EXPECT_TRUE(third.wait_for_output(site_.started_line(other_port))) << third.out() << third.err();
  EXPECT_FALSE(fs::exists(in_progress));  // its leftover cleanup ran
}

// ---- the service log -----------------------------------------------------

TEST_F(ServiceProcess, LogLevelDecidesWhetherThereIsAServiceLog) {
  struct Case {
    int level;  // -1: no registry value at all
    bool log;
  } cases[] = {{-1, true}, {0, false}, {1, true}, {3, true}};
  for (const Case& c : cases) {
    fs::remove(folder_ + "service.log");
    if (c.level >= 0) {
      ASSERT_TRUE(registry_set_dword(kServiceSettingsKey, "LogLevel", static_cast<std::uint32_t>(c.level)));
    }
    ChildProcess service;
    ASSERT_TRUE(service.start(program_, {}));
    ASSERT_TRUE(service.wait_for_output(started_line())) << service.out();
    service.signal(SIGTERM);
    ASSERT_EQ(service.wait(), 0);
    EXPECT_EQ(fs::exists(folder_ + "service.log"), c.log) << c.level;
    if (!c.log) continue;
    std::regex lines(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Tavella Service started: chat server on port \d+\n)"
                     R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Tavella Service stopping\.\.\.\n)"
                     R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Tavella Service stopped\.\n)");
    EXPECT_TRUE(std::regex_match(service_log(), lines)) << service_log();
  }
}

// ---- installation and control on the built-in manager --------------------

TEST_F(ServiceProcess, InstallStartStopAndUninstallThroughTheCommandLine) {
  fs::create_directories(env_.config_dir() + "autostart");
  ASSERT_TRUE(write_whole_file(env_.config_dir() + "autostart/Tavella.desktop",
                               "[Desktop Entry]\nExec=/somewhere/Tavella\n"));

  // Nothing installed: start says so, uninstall has nothing to do.
  test::Finished r = tvl({"-s"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Tavella Service: Service is not installed (install it with -i)\n");
  r = tvl({"-u"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "");

  // A success is told on standard output, where a script looks for it.
  r = tvl({"-i"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string(kBanner) + "Tavella Service: Service succesfully installed\n");
  EXPECT_EQ(r.err, "");
  std::string ini;
  read_whole_file(folder_ + "option.ini", ini);
  EXPECT_EQ(get_profile_string("Server", "startup", "?", 256, folder_ + "option.ini"), "0") << ini;
  EXPECT_FALSE(fs::exists(env_.config_dir() + "autostart/Tavella.desktop"));

  r = tvl({"-i"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");

  // An unknown option is refused before anything is done.
  r = tvl({"-x", "-s"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("tvlService: unknown option \"-x\"\nUsage: tvlService", 0), 0u) << r.err;
  // -s returns once the chat answers, and says so.
  r = tvl({"-s"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.out, std::string(kBanner) + "Tavella Service: Service started\n");
  EXPECT_TRUE(chat_answers());
  ServiceStatusLine status;
  ASSERT_TRUE(read_status_file(kName, status));
  const int pid = status.pid;
  EXPECT_TRUE(process_alive(pid));
  // Already running: the start request is refused, and that is said.
  r = tvl({"-s"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "Tavella Service: Service is already running\n");

  r = tvl({"-e"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string(kBanner) + "Tavella Service: Service stopped\n");
  EXPECT_FALSE(process_alive(pid));
  EXPECT_FALSE(chat_answers());
  EXPECT_EQ(tvl({"-e"}).exit_code, 0);  // nothing to stop

  // The states the service reported, in order, with their wait hints.
  std::vector<ServiceStatusLine> states = journal();
  std::vector<std::vector<int>> got;
  for (const ServiceStatusLine& s : states) got.push_back({s.state, s.wait_hint, s.controls});
  // The first line is the manager's own, written before the program ran.
  EXPECT_EQ(got, (std::vector<std::vector<int>>{
                     {2, 0, 0}, {2, 3000, 0}, {2, 3000, 0}, {4, 3000, 1}, {3, 5000, 1}, {1, 3000, 1}}));
  for (const ServiceStatusLine& s : states) EXPECT_EQ(s.pid, pid);
  std::string text = events();
  EXPECT_NE(text.find("Tavella Service[" + std::to_string(pid) + "]: Service started\n"),
            std::string::npos)
      << text;
  EXPECT_LT(text.find("]: Service started\n"), text.find("]: Service stopped\n")) << text;

  r = tvl({"-u"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string(kBanner) + "Tavella Service: Service succesfully uninstalled\n");
  EXPECT_EQ(r.err, "");
  r = tvl({"-u"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
}

TEST_F(ServiceProcess, UninstallStopsARunningService) {
  ASSERT_EQ(tvl({"-i"}).exit_code, 1);
  ASSERT_EQ(tvl({"-s"}).exit_code, 1);
  ServiceStatusLine status;
  ASSERT_TRUE(read_status_file(kName, status));
  EXPECT_EQ(tvl({"/u"}).exit_code, 1);
  for (int i = 0; i < 1000 && process_alive(status.pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(process_alive(status.pid));
  // Nothing of the service stays in the database.
  EXPECT_FALSE(fs::exists(BuiltinServiceManager::status_path(kName)));
  EXPECT_FALSE(fs::exists(BuiltinServiceManager::entry_path(kName)));
}

// ---- started by systemd -----------------------------------------------------

// ---- an honest service: failures, usage, address, reload ---------------

// A listening socket on 127.0.0.1:port (beside the port's reservation),
// held while the object lives.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                 ::listen(fd_, 1) == 0;
  }
  ~PortHolder() { ::close(fd_); }
  bool listening() const { return listening_; }

 private:
  int fd_ = -1;
  bool listening_ = false;
};

TEST_F(ServiceProcess, ATakenPortEndsTheServiceWithAFailureAndTheReason) {
  PortHolder taken(port_);
  ASSERT_TRUE(taken.listening());
  const std::string reason = "The chat server cannot listen on all addresses, port " +
                             std::to_string(port_) + ": Address already in use";

  test::Finished r = tvl({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("Tavella Service: " + reason + "\n"), std::string::npos) << r.err;
  EXPECT_NE(service_log().find(" ERROR: " + reason + "\n"), std::string::npos) << service_log();
  EXPECT_NE(events().find("]: " + reason + "\n"), std::string::npos) << events();
  EXPECT_EQ(events().find("Service started"), std::string::npos) << events();

  // Started by the manager, the service reports stopped and -s says so.
  ASSERT_EQ(tvl({"-i"}).exit_code, 1);
  r = tvl({"-s"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("Tavella Service: Service could not be started;"), std::string::npos)
      << r.err;
  EXPECT_EQ(events().find("Service started"), std::string::npos) << events();
  ServiceStatusLine status;
  ASSERT_TRUE(read_status_file(kName, status));
  EXPECT_EQ(status.state, 1);
}

TEST_F(ServiceProcess, HelpPrintsTheUsageAndUnknownOptionsAreRefused) {
  test::Finished r = tvl({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::string(kBanner) + ServiceCommands::Usage());
  EXPECT_EQ(r.err, "");
  r = tvl({"--port=80"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "tvlService: unknown option \"--port=80\"\n" + ServiceCommands::Usage());
  EXPECT_FALSE(chat_answers());  // nothing was started
}

TEST_F(ServiceProcess, ListenAddressBindsOneAddressAndABadOneIsAFailure) {
  write_option_ini("[Server]\r\nport=" + std::to_string(port_) + "\r\nListenAddress=127.0.0.1\r\n");
  {
    ChildProcess service;
    ASSERT_TRUE(service.start(program_, {}));
    ASSERT_TRUE(service.wait_for_output(started_line())) << service.out() << service.err();
    EXPECT_TRUE(chat_answers());
    service.signal(SIGTERM);
    EXPECT_EQ(service.wait(), 0);
  }
  write_option_ini("[Server]\r\nport=" + std::to_string(port_) + "\r\nListenAddress=localhost\r\n");
  test::Finished r = tvl({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot listen on localhost, port " + std::to_string(port_) +
                       ": Invalid argument"),
            std::string::npos)
      << r.err;
}

TEST_F(ServiceProcess, SighupReadsTheOptionsAgainWithoutARestart) {
  ChildProcess service;
  ASSERT_TRUE(service.start(program_, {}));
  ASSERT_TRUE(service.wait_for_output(started_line())) << service.out();
  // The visitor's address is now refused (FilterMode 1: the reject list).
  ASSERT_TRUE(write_whole_file(folder_ + "rejectip.txt", "127.0.0.1\r\n"));
  test::PortReservation second;
  const int second_port = second.port();
  write_option_ini("[Server]\r\nport=" + std::to_string(second_port) + "\r\nFilterMode=1\r\n");
  service.signal(SIGHUP);
  ASSERT_TRUE(service.wait_for_output(" Chat Server started on port " +
                                      std::to_string(second_port) + "\n"))
      << service.out();
  EXPECT_FALSE(chat_answers());  // the old port is closed
  std::string answer = test::http_exchange(second_port, "GET /fnf.html HTTP/1.0\r\n\r\n", 3000);
  EXPECT_NE(answer.find("403 IP Forbidden"), std::string::npos) << answer;
  EXPECT_TRUE(process_alive(service.pid()));
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
  EXPECT_NE(service_log().find(" Tavella Service reloaded: chat server on port " +
                               std::to_string(second_port) + "\n"),
            std::string::npos)
      << service_log();
}

TEST_F(ServiceProcess, UnderSystemdTheStatesGoToTheNotificationSocket) {
  const std::string path = root_.path() + "notify";
  const int fd = test::bind_datagram_socket(path);
  ASSERT_GE(fd, 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ChildProcess service;
  bool started = service.start(program_, {});
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(started);
  ASSERT_TRUE(service.wait_for_output(started_line())) << service.out();
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);

  std::vector<std::string> messages;
  char buffer[512];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
    messages.emplace_back(buffer, static_cast<size_t>(n));
  ::close(fd);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "STATUS=start pending (wait hint 3000 ms)",
                          "STATUS=start pending (wait hint 3000 ms)",
                          "READY=1\nSTATUS=running",
                          "STOPPING=1\nSTATUS=stop pending (wait hint 5000 ms)",
                          "STATUS=stopped",
                      }));
}

}  // namespace
}  // namespace tvl
