// The service host in-process: command-line scan, control handler and status
// protocol, the service body with its lock, message queue and service log,
// the installer steps and their messages, and both service-manager backends
// (systemd through a fake systemctl and a datagram socket for the
// notification protocol).
#include "service/service_host.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry_file.h"
#include "platform/system_log.h"
#include "service/builtin_service_manager.h"
#include "service/log_file.h"
#include "service/systemd_service_manager.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::TestEnvironment;

struct Report {
  int state, controls, wait_hint;
  bool operator==(const Report& o) const {
    return state == o.state && controls == o.controls && wait_hint == o.wait_hint;
  }
};
std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << "{" << r.state << "," << r.controls << "," << r.wait_hint << "}";
}

// Records every status the host sends; can be told to fail.
struct RecordingReporter : StatusReporter {
  std::mutex lock;
  std::vector<Report>* reports;
  bool fail = false;
  explicit RecordingReporter(std::vector<Report>* r) : reports(r) {}
  const char* backend_name() const override { return "recording"; }
  bool report(int state, int controls, int wait_hint) override {
    std::lock_guard<std::mutex> hold(lock);
    reports->push_back({state, controls, wait_hint});
    return !fail;
  }
};

// A manager whose every step can be made to fail, with a scripted state
// sequence for the queries.
struct FakeManager : ServiceManager {
  bool installed = false, open_ok = true, create_ok = true, open_delete_ok = true;
  bool remove_ok = true, start_ok = true, stop_ok = true, query_ok = true;
  std::vector<int> states;  // answers to query, in order; the last repeats
  int queries = 0, stop_requests = 0;
  const char* backend_name() const override { return "fake"; }
  bool exists(const std::string&) override { return installed; }
  bool open_manager() override { return open_ok; }
  bool create(const ServiceEntry&) override { return create_ok && (installed = true); }
  bool open_for_delete(const std::string&) override { return open_delete_ok; }
  bool remove(const std::string&) override { return remove_ok && !(installed = false); }
  bool request_start(const std::string&) override { return start_ok; }
  bool request_stop(const std::string&) override { ++stop_requests; return stop_ok; }
  bool query(const std::string&, int& state) override {
    if (!query_ok) return false;
    size_t i = std::min<size_t>(static_cast<size_t>(queries), states.size() - 1);
    ++queries;
    state = states[i];
    return true;
  }
};

// Collects message boxes instead of writing them to standard error.
struct MessageCapture {
  std::vector<std::string> lines;
  MessageCapture() {
    set_message_sink([this](const std::string& caption, const std::string& text, MessageIcon) {
      lines.push_back(caption + ": " + text);
    });
  }
  ~MessageCapture() { set_message_sink(nullptr); }
};

std::string events_text() {
  std::string text;
  read_whole_file(system_event_file(), text);
  return text;
}

// ---- command line -------------------------------------------------------

TEST(ServiceCommandLine, SelectsTheFirstOptionAfterTheProgramPath) {
  struct Case {
    std::vector<std::string> args;
    char action;
  } cases[] = {
      {{"-i"}, 'i'},          {{"/u"}, 'u'},           {{"-s"}, 's'},
      {{"/e"}, 'e'},          {{}, 0},                 {{"-x", "-s"}, 's'},
      {{"-x-s"}, 's'},        {{"-xs"}, 0},            {{"--s"}, 0},
      {{"-I"}, 0},            {{"-S", "/E"}, 0},       {{"-"}, 0},
      {{"-", "s"}, 0},        {{"a/s"}, 's'},          {{"-e", "-s"}, 'e'},
      {{"-is"}, 'i'},         {{"plain", "words"}, 0}, {{"x", "-u"}, 'u'},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(ServiceCommands::SelectAction(c.args), c.action) << shown;
  }
}

TEST(ServiceCommandLine, OnlyTheFourOptionsAndHelpAreAccepted) {
  using A = ServiceCommands::Arguments;
  struct Case {
    std::vector<std::string> args;
    A expected;
    const char* unknown;
  } cases[] = {
      {{}, A::kAction, ""},           {{"-i"}, A::kAction, ""},
      {{"/u"}, A::kAction, ""},       {{"-e", "-s"}, A::kAction, ""},
      {{"--help"}, A::kHelp, ""},     {{"-h"}, A::kHelp, ""},
      {{"-s", "--help"}, A::kHelp, ""}, {{"-x"}, A::kUnknown, "-x"},
      {{"-x", "-s"}, A::kUnknown, "-x"}, {{"-s", "-S"}, A::kUnknown, "-S"},
      {{"-is"}, A::kUnknown, "-is"}, {{"--s"}, A::kUnknown, "--s"},
      {{"start"}, A::kUnknown, "start"}, {{"--help", ""}, A::kUnknown, ""},
  };
  for (const Case& c : cases) {
    std::string shown, unknown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    EXPECT_EQ(ServiceCommands::CheckArguments(c.args, unknown), c.expected) << shown;
    if (c.expected == A::kUnknown) EXPECT_EQ(unknown, c.unknown) << shown;
  }
}

// ---- service-log line prefix and the message queue ----------------------

TEST(ServiceLog, PrefixHasTheSystemLogsDateFormWithMilliseconds) {
  ServiceLog::LogEntry e;
  e.day = 5; e.month = 3; e.year = 2004;
  e.hour = 14; e.minute = 7; e.second = 9; e.millisecond = 42;
  EXPECT_EQ(ServiceLog::LinePrefix(e), "2004-03-05 14:07:09.042 ");
  e.day = 31; e.month = 12; e.year = 2026; e.hour = 23; e.minute = 59; e.second = 59;
  e.millisecond = 999;
  EXPECT_EQ(ServiceLog::LinePrefix(e), "2026-12-31 23:59:59.999 ");
}

class ServiceLogFile : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TempDir dir_;
  void TearDown() override { service_log().Close(); }
  std::string log_path() const { return dir_.path() + "service.log"; }
};

TEST_F(ServiceLogFile, OpenAppendsAndEveryWriteReachesTheFile) {
  dir_.write("service.log", "old line\n");
  CLogFile log;
  ASSERT_TRUE(log.Open(log_path()));
  log.write("new");
  log.write_line_end();
  // Flushed at once: readable while the log is still open.
  EXPECT_EQ(dir_.read("service.log"), "old line\nnew\n");
}

TEST_F(ServiceLogFile, LevelIsOneTwoOrThree) {
  CLogFile log;
  for (auto [given, kept] : {std::pair{1, 1}, {2, 2}, {3, 3}, {0, 3}, {7, 3}, {-1, 3}}) {
    log.set_level(given);
    EXPECT_EQ(log.level(), kept) << given;
  }
}

TEST_F(ServiceLogFile, PrintWithoutWindowWritesAtOnceWithThePrefix) {
  ASSERT_TRUE(service_log().Open(log_path()));
  ServiceHost host("Tavella Service", "Tavella Service");
  host.Print(1, "value %d of %s", 7, "x");
  host.Print(3, "second");
  EXPECT_EQ(host.log().queued_lines(), 0u);
  std::string text = dir_.read("service.log");
  std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} value 7 of x\n)"
                  R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} second\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(service_log().level(), 3);
}

TEST_F(ServiceLogFile, WithoutALogEntriesAreStillConsumed) {
  ServiceHost host("Tavella Service", "Tavella Service");
  host.Print(3, "nobody reads this");
  EXPECT_EQ(host.log().queued_lines(), 0u);
  host.log().WriteNextLine();  // an empty queue is no fault
  EXPECT_FALSE(dir_.exists("service.log"));
}

TEST_F(ServiceLogFile, ErrorPathOpenFailureShowsTheMessageAndKeepsNoFile) {
  MessageCapture boxes;
  CLogFile log;
  const std::string path = dir_.path() + "missing/service.log";
  EXPECT_FALSE(log.Open(path));
  EXPECT_FALSE(log.is_open());
  ASSERT_EQ(boxes.lines.size(), 1u);
  EXPECT_EQ(boxes.lines[0], "Error in CLogFile::Open(): Cannot create or open file: '" + path + "'");
  log.write("ignored");  // no stream: nothing happens
}

// ---- registry stand-in --------------------------------------------------

class RegistryFile : public ::testing::Test {
 protected:
  TestEnvironment env_;
};

TEST_F(RegistryFile, LogLevelDefaultsToThreeAndFollowsTheValue) {
  EXPECT_EQ(read_log_level(), 3);
  ASSERT_TRUE(registry_set_dword(kServiceSettingsKey, "LogLevel", 0));
  EXPECT_EQ(read_log_level(), 0);
  // Keys and names are found without regard to case.
  ASSERT_TRUE(registry_set_dword(
      "hkey_local_machine\\SOFTWARE\\ktr software inc.\\chat service\\settings", "loglevel", 2));
  EXPECT_EQ(read_log_level(), 2);
  std::string text;
  ASSERT_TRUE(read_whole_file(registry_file_path(), text));
  EXPECT_EQ(text,
            "[HKEY_LOCAL_MACHINE\\software\\KTR Software Inc.\\Chat Service\\Settings]\n"
            "\"LogLevel\"=dword:00000002\n");
}

TEST_F(RegistryFile, StringsRoundTripWithQuotesBackslashesAndLineFeeds) {
  const std::string odd = "C:\\a \"b\"\nc";
  ASSERT_TRUE(registry_set_string("K\\One", "Path", odd, true));
  ASSERT_TRUE(registry_set_string("K\\One", "Plain", "x"));
  ASSERT_TRUE(registry_set_dword("K\\Two", "N", 0xdeadbeef));
  std::string got;
  ASSERT_TRUE(registry_get_string("k\\one", "PATH", got));
  EXPECT_EQ(got, odd);
  std::uint32_t n = 0;
  ASSERT_TRUE(registry_get_dword("K\\Two", "N", n));
  EXPECT_EQ(n, 0xdeadbeefu);
  // Types are kept apart.
  EXPECT_FALSE(registry_get_dword("K\\One", "Plain", n));
  EXPECT_FALSE(registry_get_string("K\\Two", "N", got));
  ASSERT_TRUE(registry_delete_value("K\\One", "plain"));
  EXPECT_FALSE(registry_get_string("K\\One", "Plain", got));
  EXPECT_TRUE(registry_get_string("K\\One", "Path", got));
}

TEST_F(RegistryFile, ErrorPathMissingAndDamagedFilesGiveNothing) {
  std::uint32_t n = 5;
  EXPECT_FALSE(registry_get_dword(kServiceSettingsKey, "LogLevel", n));
  EXPECT_EQ(n, 5u);
  ASSERT_TRUE(write_whole_file(registry_file_path(),
                               "\"orphan\"=dword:00000001\n[K]\n\"a\"=dword:zz\n\"b\"=\"open\n"
                               "\"c\"=dword:00000009\n"));
  EXPECT_FALSE(registry_get_dword("K", "a", n));
  std::string s;
  EXPECT_FALSE(registry_get_string("K", "b", s));
  ASSERT_TRUE(registry_get_dword("K", "c", n));
  EXPECT_EQ(n, 9u);
  // A write drops what did not parse and keeps the rest.
  ASSERT_TRUE(registry_set_dword("K", "d", 1));
  std::string text;
  read_whole_file(registry_file_path(), text);
  EXPECT_EQ(text, "[K]\n\"c\"=dword:00000009\n\"d\"=dword:00000001\n");
}

// ---- single-instance lock -----------------------------------------------

TEST(ServiceLock, ASecondHolderIsRefusedUntilTheFirstReleases) {
  TempDir dir;
  LockFile first, second;
  ASSERT_EQ(first.acquire(dir.path() + "m.lock"), LockFile::kAcquired);
  EXPECT_EQ(second.acquire(dir.path() + "m.lock"), LockFile::kHeld);
  first.release();
  EXPECT_EQ(second.acquire(dir.path() + "m.lock"), LockFile::kAcquired);
  LockFile third;
  EXPECT_EQ(third.acquire(dir.path() + "no/such/folder/m.lock"), LockFile::kFailed);
}

// ---- status protocol and control handler --------------------------------

class ServiceControl : public ::testing::Test {
 protected:
  TestEnvironment env_;
  std::vector<Report> reports_;
  ServiceHost host_{"Tavella Service", "Tavella Service"};
  RecordingReporter* reporter_ = nullptr;
  void SetUp() override {
    auto r = std::make_unique<RecordingReporter>(&reports_);
    reporter_ = r.get();
    host_.set_reporter(std::move(r));
  }
};

TEST_F(ServiceControl, RunningAndStoppedAreAnnouncedInTheEventLog) {
  EXPECT_TRUE(host_.SetStatus(kServiceStartPending, 3000));
  EXPECT_EQ(host_.status().controls_accepted, 0);
  EXPECT_TRUE(host_.SetStatus(kServiceRunning, 3000));
  EXPECT_EQ(host_.status().controls_accepted, kAcceptStop);
  EXPECT_TRUE(host_.SetStatus(kServiceStopped, 3000));
  EXPECT_EQ((std::vector<Report>{{2, 0, 3000}, {4, 1, 3000}, {1, 1, 3000}}), reports_);
  std::string events = events_text();
  EXPECT_NE(events.find("Tavella Service[" + std::to_string(current_process_id()) +
                        "]: Service started\n"),
            std::string::npos)
      << events;
  EXPECT_LT(events.find("Service started"), events.find("Service stopped"));
}

TEST_F(ServiceControl, ControlsWriteTheirStateAndReportTheirEvents) {
  host_.SetStatus(kServiceRunning, 3000);
  host_.ControlHandler(kControlPause);
  EXPECT_EQ(host_.status().state, kServicePausePending);
  host_.ControlHandler(kControlContinue);
  EXPECT_EQ(host_.status().state, kServiceContinuePending);
  host_.ControlHandler(kControlShutdown);
  EXPECT_EQ(host_.status().state, kServiceContinuePending);
  host_.ControlHandler(kControlInterrogate);
  host_.ControlHandler(77);
  host_.ControlHandler(kControlStop);
  EXPECT_EQ(host_.status().state, kServiceStopPending);
  // Only SetStatus sends: the running report and the interrogation.
  EXPECT_EQ((std::vector<Report>{{4, 1, 3000}, {5, 1, 3000}}), reports_);
  std::string events = events_text();
  size_t at = 0;
  for (const char* e : {"Service started", "Service paused", "Service continued",
                        "Service shutdown", "Bad service request"}) {
    size_t found = events.find(std::string("]: ") + e + "\n", at);
    ASSERT_NE(found, std::string::npos) << e << " in\n" << events;
    at = found;
  }
}

TEST_F(ServiceControl, ErrorPathAFailedSendIsReportedInsteadOfTheStateEvent) {
  reporter_->fail = true;
  EXPECT_FALSE(host_.SetStatus(kServiceRunning, 3000));
  std::string events = events_text();
  EXPECT_NE(events.find("]: SetServiceStatus() failed\n"), std::string::npos) << events;
  EXPECT_EQ(events.find("Service started"), std::string::npos);
}

// ---- the service body ---------------------------------------------------

// A program folder with the shipped site on a free port.
class ServiceBody : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TempDir program_;
  test::PortReservation reserved_;
  const int port_ = reserved_.port();
  std::vector<Report> reports_;

  void SetUp() override {
    fs::copy(TAVELLA_DIST_DIR, program_.path(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::remove(program_.path() + "service.log");
    program_.write("option.ini", "[Server]\r\nport=" + std::to_string(port_) + "\r\n");
    ASSERT_TRUE(service_log().Open(program_.path() + "service.log"));
  }
  void TearDown() override { service_log().Close(); }

  std::unique_ptr<ServiceHost> make_host(std::vector<Report>* reports) {
    auto host = std::make_unique<ServiceHost>("Tavella Service", "Tavella Service");
    host->set_program_folder(program_.path());
    host->set_reporter(std::make_unique<RecordingReporter>(reports));
    return host;
  }

  static bool wait_until(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
  }
};

TEST_F(ServiceBody, ReportsItsStatesServesTheChatAndLogsThroughTheQueue) {
  auto host = make_host(&reports_);
  std::thread service([&] { host->ServiceMain(); });
  ASSERT_TRUE(wait_until([&] { return host->status().state == kServiceRunning; }));
  EXPECT_TRUE(host->window_exists());
  ASSERT_NE(host->engine(), nullptr);
  EXPECT_TRUE(host->engine()->running());
  std::string answer = test::http_exchange(port_, "GET /fnf.html HTTP/1.0\r\n\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.0 200", 0), 0u) << answer;

  // A line printed by another thread is written by the service thread.
  std::thread([&] { host->Print(2, "from a client thread"); }).join();
  ASSERT_TRUE(wait_until([&] {
    return program_.read("service.log").find("from a client thread") != std::string::npos;
  }));

  host->ControlHandler(kControlStop);
  service.join();
  EXPECT_FALSE(host->window_exists());
  EXPECT_FALSE(host->engine()->running());
  EXPECT_EQ((std::vector<Report>{
                {2, 0, 3000}, {2, 0, 3000}, {4, 1, 3000}, {3, 1, 5000}, {1, 1, 3000}}),
            reports_);
  // Both closing lines reach the log, the first queued for a window that
  // went away, the second written at once.
  std::string log = program_.read("service.log");
  std::regex closing(R"([\s\S]*\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Tavella Service stopping\.\.\.\n)"
                     R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Tavella Service stopped\.\n)");
  EXPECT_TRUE(std::regex_match(log, closing)) << log;
  std::string events = events_text();
  EXPECT_LT(events.find("Service started"), events.find("Service stopped"));
}

TEST_F(ServiceBody, ASecondBodyEndsAtOnceWhileTheFirstHoldsTheLock) {
  auto first = make_host(&reports_);
  std::thread service([&] { first->ServiceMain(); });
  ASSERT_TRUE(wait_until([&] { return first->status().state == kServiceRunning; }));

  std::vector<Report> second_reports;
  auto second = make_host(&second_reports);
  second->Run();
  EXPECT_TRUE(second_reports.empty());
  EXPECT_EQ(second->engine(), nullptr);
  EXPECT_FALSE(second->window_exists());

  first->ControlHandler(kControlStop);
  service.join();
  // With the lock free again the next body runs.
  LockFile probe;
  EXPECT_EQ(probe.acquire(service_lock_path()), LockFile::kAcquired);
}

TEST_F(ServiceBody, AStopBeforeTheWindowExistsIsNotLost) {
  auto host = make_host(&reports_);
  host->ControlHandler(kControlStop);
  std::thread service([&] { host->ServiceMain(); });
  service.join();  // ends by itself
  ASSERT_FALSE(reports_.empty());
  EXPECT_EQ(reports_.back(), (Report{1, 1, 3000}));
}

// ---- installation and control through the manager interface -------------

class ServiceInstall : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TempDir program_;
  MessageCapture boxes_;
  std::unique_ptr<ServiceCommands> host_;
  FakeManager* manager_ = nullptr;

  void SetUp() override {
    host_ = std::make_unique<ServiceCommands>("Tavella Service", "Tavella Service");
    auto m = std::make_unique<FakeManager>();
    manager_ = m.get();
    host_->set_manager(std::move(m));
    host_->set_program_folder(program_.path());
    host_->set_program_path(program_.path() + "tvlService");
    host_->set_poll_interval(std::chrono::milliseconds(1));
  }
};

TEST_F(ServiceInstall, InstallRegistersTheEventSourceAndSwitchesOffStartAtLogon) {
  program_.write("option.ini", "[Server]\r\nStartup=1\r\nport=81\r\n");
  std::string autostart = env_.config_dir() + "autostart/Tavella.desktop";
  fs::create_directories(env_.config_dir() + "autostart");
  ASSERT_TRUE(write_whole_file(autostart, "[Desktop Entry]\nExec=/x\n"));

  EXPECT_EQ(host_->Install(), 1);
  EXPECT_EQ(boxes_.lines, std::vector<std::string>{"Tavella Service: Service succesfully installed"});
  std::string ini = program_.read("option.ini");
  EXPECT_EQ(get_profile_string("Server", "startup", "?", 256, program_.path() + "option.ini"), "0")
      << ini;
  EXPECT_NE(ini.find("port=81"), std::string::npos) << ini;
  EXPECT_FALSE(fs::exists(autostart));
  std::string file;
  std::uint32_t types = 0;
  ASSERT_TRUE(registry_get_string(event_source_key("Tavella Service"), "EventMessageFile", file));
  EXPECT_EQ(file, program_.path() + "tvlService");
  ASSERT_TRUE(registry_get_dword(event_source_key("Tavella Service"), "TypesSupported", types));
  EXPECT_EQ(types, 7u);

  // Already installed: success without a message.
  EXPECT_EQ(host_->Install(), 1);
  EXPECT_EQ(boxes_.lines.size(), 1u);
}

TEST_F(ServiceInstall, UninstallAsksTheServiceToStopThenDeletes) {
  EXPECT_EQ(host_->Uninstall(), 1);  // nothing installed: nothing to do, no message
  EXPECT_TRUE(boxes_.lines.empty());
  EXPECT_EQ(manager_->stop_requests, 0);
  manager_->installed = true;
  EXPECT_EQ(host_->Uninstall(), 1);
  EXPECT_EQ(manager_->stop_requests, 1);
  EXPECT_EQ(boxes_.lines, std::vector<std::string>{"Tavella Service: Service succesfully uninstalled"});
}

TEST_F(ServiceInstall, ErrorPathEveryFailingStepHasItsMessageAndResult) {
  struct Case {
    const char* name;
    std::function<void(FakeManager&)> arrange;
    bool install;
    const char* message;  // null: none
  } cases[] = {
      {"install, manager", [](FakeManager& m) { m.open_ok = false; }, true,
       "Tavella Service: Couldn't open service manager"},
      {"install, create", [](FakeManager& m) { m.create_ok = false; }, true,
       "Tavella Service: Couldn't create service"},
      {"uninstall, manager", [](FakeManager& m) { m.installed = true; m.open_ok = false; }, false,
       "Tavella Service: Couldn't open service manager"},
      {"uninstall, open", [](FakeManager& m) { m.installed = true; m.open_delete_ok = false; },
       false, "Tavella Service: Couldn't open service"},
      {"uninstall, delete", [](FakeManager& m) { m.installed = true; m.remove_ok = false; }, false,
       "Tavella Service: Service could not be deleted"},
  };
  for (const Case& c : cases) {
    *manager_ = FakeManager();
    boxes_.lines.clear();
    c.arrange(*manager_);
    EXPECT_EQ(c.install ? host_->Install() : host_->Uninstall(), 0) << c.name;
    EXPECT_EQ(boxes_.lines, std::vector<std::string>{c.message}) << c.name;
  }
  // A failed install leaves option.ini alone.
  EXPECT_FALSE(program_.exists("option.ini"));
}

TEST_F(ServiceInstall, StartAndStopPollUntilThePendingStateEnds) {
  struct Case {
    bool start;
    std::vector<int> states;
    int result, queries;
  } cases[] = {
      {true, {2, 2, 4}, 1, 3},  {true, {4}, 1, 1},  {true, {2, 1}, 0, 2},
      {false, {3, 3, 1}, 1, 3}, {false, {1}, 1, 1}, {false, {3, 4}, 0, 2},
  };
  for (const Case& c : cases) {
    *manager_ = FakeManager();
    manager_->installed = true;
    manager_->states = c.states;
    EXPECT_EQ(c.start ? host_->StartTheService() : host_->StopTheService(), c.result);
    EXPECT_EQ(manager_->queries, c.queries);
  }
}

TEST_F(ServiceInstall, ErrorPathStartAndStopFailWithoutAMessageBox) {
  for (int what = 0; what < 4; ++what) {
    *manager_ = FakeManager();
    manager_->installed = what != 0;
    manager_->open_ok = what != 1;
    manager_->start_ok = manager_->stop_ok = what != 2;
    manager_->query_ok = what != 3;
    manager_->states = {4};
    EXPECT_EQ(host_->StartTheService(), 0) << what;
    manager_->states = {1};
    EXPECT_EQ(host_->StopTheService(), 0) << what;
  }
  EXPECT_TRUE(boxes_.lines.empty());
}

// ---- built-in manager ---------------------------------------------------

TEST(BuiltinManager, IsChosenWithAPrivateStateFolder) {
  TestEnvironment env;
  EXPECT_STREQ(make_service_manager()->backend_name(), "built-in");
}

TEST(BuiltinManager, QueryTrustsTheStatusFileOnlyWhileItsProcessLives) {
  TestEnvironment env;
  BuiltinServiceManager m;
  int state = 0;
  EXPECT_FALSE(m.query("Tavella Service", state));  // not installed
  ASSERT_TRUE(m.open_manager());
  ASSERT_TRUE(m.create(ServiceEntry{"Tavella Service", "Tavella Service", "/bin/true"}));
  EXPECT_TRUE(m.exists("Tavella Service"));
  ASSERT_TRUE(m.query("Tavella Service", state));
  EXPECT_EQ(state, kServiceStopped);  // never started
  const std::string status = BuiltinServiceManager::status_path("Tavella Service");
  write_whole_file(status, "4 " + std::to_string(current_process_id()) + " 3000 1\n");
  ASSERT_TRUE(m.query("Tavella Service", state));
  EXPECT_EQ(state, kServiceRunning);
  // A start request for an active service is refused.
  EXPECT_FALSE(m.request_start("Tavella Service"));
  // A dead process means stopped, whatever the file says.
  int dead = spawn_detached("/bin/true", {}, nullptr);
  ASSERT_GT(dead, 0);
  for (int i = 0; i < 500 && process_alive(dead); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  write_whole_file(status, "4 " + std::to_string(dead) + " 3000 1\n");
  ASSERT_TRUE(m.query("Tavella Service", state));
  EXPECT_EQ(state, kServiceStopped);
  EXPECT_FALSE(m.request_stop("Tavella Service"));
  // A service in start pending does not accept stop yet.
  write_whole_file(status, "2 " + std::to_string(current_process_id()) + " 0 0\n");
  EXPECT_FALSE(m.request_stop("Tavella Service"));
  EXPECT_TRUE(m.remove("Tavella Service"));
  EXPECT_FALSE(m.exists("Tavella Service"));
  EXPECT_FALSE(fs::exists(status));
}

TEST(BuiltinManager, TheReporterWritesStatusAndJournalOnlyForAnInstalledService) {
  TestEnvironment env;
  BuiltinStatusReporter reporter("Tavella Service");
  EXPECT_TRUE(reporter.report(4, 1, 3000));
  EXPECT_FALSE(fs::exists(BuiltinServiceManager::status_path("Tavella Service")));
  BuiltinServiceManager m;
  ASSERT_TRUE(m.open_manager());
  ASSERT_TRUE(m.create(ServiceEntry{"Tavella Service", "Tavella Service", "/bin/true"}));
  EXPECT_TRUE(reporter.report(2, 0, 3000));
  EXPECT_TRUE(reporter.report(4, 1, 3000));
  const std::string pid = std::to_string(current_process_id());
  std::string text;
  read_whole_file(BuiltinServiceManager::status_path("Tavella Service"), text);
  EXPECT_EQ(text, "4 " + pid + " 3000 1\n");
  read_whole_file(BuiltinServiceManager::journal_path("Tavella Service"), text);
  EXPECT_EQ(text, "2 " + pid + " 3000 0\n4 " + pid + " 3000 1\n");
  // The process that the status file names reports there, even with a
  // NOTIFY_SOCKET inherited from whoever started it.
  EXPECT_STREQ(make_status_reporter("Tavella Service")->backend_name(), "built-in");
  setenv("NOTIFY_SOCKET", "/nonexistent/notify", 1);
  EXPECT_STREQ(make_status_reporter("Tavella Service")->backend_name(), "built-in");
  m.remove("Tavella Service");
  EXPECT_STREQ(make_status_reporter("Tavella Service")->backend_name(), "systemd");
  unsetenv("NOTIFY_SOCKET");
  EXPECT_STREQ(make_status_reporter("Tavella Service")->backend_name(), "none");
}

// ---- systemd backend ----------------------------------------------------

// A fake systemctl first on PATH: it appends its arguments to calls.txt and
// answers "show" with the content of active.txt; "enable" fails while
// fail-enable exists.
class SystemdBackend : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TempDir bin_, units_, program_;
  std::string old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  MessageCapture boxes_;
  std::unique_ptr<ServiceCommands> host_;

  void SetUp() override {
    bin_.write("systemctl",
               "#!/bin/sh\n"
               "echo \"$*\" >> '" + bin_.path() + "calls.txt'\n"
               "if [ \"$1\" = show ]; then cat '" + bin_.path() + "active.txt'; fi\n"
               "if [ \"$1\" = enable ] && [ -e '" + bin_.path() + "fail-enable' ]; then exit 1; fi\n"
               "exit 0\n");
    ::chmod((bin_.path() + "systemctl").c_str(), 0755);
    bin_.write("active.txt", "inactive\n");
    setenv("PATH", (bin_.path() + ":" + old_path_).c_str(), 1);
    host_ = std::make_unique<ServiceCommands>("Tavella Service", "Tavella Service");
    host_->set_manager(std::make_unique<SystemdServiceManager>(units_.path(), "systemctl"));
    host_->set_program_folder(program_.path());
    host_->set_program_path("/opt/tav 100%/tvlService");
    host_->set_poll_interval(std::chrono::milliseconds(1));
  }
  void TearDown() override { setenv("PATH", old_path_.c_str(), 1); }

  std::string take_calls() {
    std::string calls = bin_.read("calls.txt");
    fs::remove(bin_.path() + "calls.txt");
    return calls;
  }
};

TEST_F(SystemdBackend, InstallWritesANotifyUnitAndEnablesIt) {
  EXPECT_EQ(SystemdServiceManager::unit_name("Tavella Service"), "tavella-service.service");
  EXPECT_EQ(host_->Install(), 1);
  EXPECT_EQ(take_calls(), "daemon-reload\nenable tavella-service.service\n");
  std::string unit = units_.read("tavella-service.service");
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nExecStart=\"/opt/tav 100%%/tvlService\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("[Install]\nWantedBy=multi-user.target\n"), std::string::npos) << unit;
  EXPECT_EQ(host_->Install(), 1);  // already there: no calls, no message
  EXPECT_EQ(take_calls(), "");
  EXPECT_EQ(boxes_.lines.size(), 1u);
}

TEST_F(SystemdBackend, StartStopAndUninstallGoThroughSystemctl) {
  ASSERT_EQ(host_->Install(), 1);
  take_calls();
  bin_.write("active.txt", "active\n");
  EXPECT_EQ(host_->StartTheService(), 1);
  EXPECT_EQ(take_calls(),
            "start --no-block tavella-service.service\n"
            "show -p ActiveState --value tavella-service.service\n");
  bin_.write("active.txt", "inactive\n");
  EXPECT_EQ(host_->StopTheService(), 1);
  EXPECT_EQ(take_calls(),
            "stop --no-block tavella-service.service\n"
            "show -p ActiveState --value tavella-service.service\n");
  bin_.write("active.txt", "failed\n");
  EXPECT_EQ(host_->StartTheService(), 0);
  take_calls();
  EXPECT_EQ(host_->Uninstall(), 1);
  EXPECT_EQ(take_calls(),
            "stop --no-block tavella-service.service\n"
            "disable tavella-service.service\n"
            "daemon-reload\n");
  EXPECT_FALSE(units_.exists("tavella-service.service"));
}

TEST_F(SystemdBackend, QueryMapsTheActiveStates) {
  SystemdServiceManager m(units_.path(), "systemctl");
  for (auto [text, state] : {std::pair{"activating", 2}, {"active", 4}, {"reloading", 4},
                             {"deactivating", 3}, {"inactive", 1}, {"failed", 1}}) {
    bin_.write("active.txt", std::string(text) + "\n");
    int got = 0;
    ASSERT_TRUE(m.query("Tavella Service", got));
    EXPECT_EQ(got, state) << text;
  }
}

TEST_F(SystemdBackend, ErrorPathAFailedEnableRemovesTheUnit) {
  bin_.write("fail-enable", "");
  EXPECT_EQ(host_->Install(), 0);
  EXPECT_EQ(boxes_.lines, std::vector<std::string>{"Tavella Service: Couldn't create service"});
  EXPECT_FALSE(units_.exists("tavella-service.service"));
  EXPECT_EQ(take_calls(), "daemon-reload\nenable tavella-service.service\ndaemon-reload\n");

  host_->set_manager(std::make_unique<SystemdServiceManager>(units_.path() + "none/", "systemctl"));
  boxes_.lines.clear();
  EXPECT_EQ(host_->Install(), 0);
  EXPECT_EQ(boxes_.lines, std::vector<std::string>{"Tavella Service: Couldn't open service manager"});
}

TEST(SystemdNotify, StatesBecomeNotificationDatagrams) {
  TempDir dir;
  const std::string path = dir.path() + "notify";
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  auto reporter = make_status_reporter("Tavella Service");
  EXPECT_STREQ(reporter->backend_name(), "systemd");
  struct Case {
    int state, wait;
    const char* text;
  } cases[] = {
      {2, 3000, "STATUS=start pending (wait hint 3000 ms)"},
      {4, 3000, "READY=1\nSTATUS=running"},
      {3, 5000, "STOPPING=1\nSTATUS=stop pending (wait hint 5000 ms)"},
      {1, 3000, "STATUS=stopped"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(reporter->report(c.state, 1, c.wait));
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), c.text);
  }
  ::close(fd);
  // Nobody listens any more: the send fails and SetStatus says so.
  EXPECT_FALSE(reporter->report(4, 1, 3000));
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
}  // namespace tvl
