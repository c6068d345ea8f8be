// File-system stand-ins and the start-at-logon entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <set>
#include <thread>
#include <cstdlib>

#include "platform/autostart.h"
#include "platform/detached_fork.h"
#include "platform/event.h"
#include "platform/folder_lock.h"
#include "platform/thread.h"
#include "platform/fs.h"
#include "platform/interfaces.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/retry.h"
#include "platform/unique_fd.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(FsTest, ProgramFolderHoldsTheRunningProgramAndEndsInSlash) {
  std::string folder = program_folder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ('/', folder.front());
  EXPECT_EQ('/', folder.back());
  std::string path = program_path();
  EXPECT_EQ(folder, path.substr(0, folder.size()));
  EXPECT_EQ(std::string::npos, path.find('/', folder.size()));
  EXPECT_TRUE(is_regular_file(path));
}

TEST(FsTest, StateFolderFollowsTheEnvironment) {
  TestEnvironment env;
  EXPECT_EQ(env.state_dir(), state_folder());
  setenv("TAVELLA_STATE_DIR", "/tmp/x", 1);
  EXPECT_EQ("/tmp/x/", state_folder());
}

struct FindCase {
  const char* pattern;
  std::vector<std::string> expected;
};

TEST(FsTest, FindFilesListsMatchingFilesOnly) {
  TempDir dir;
  dir.write("images/a.gif", "1");
  dir.write("images/B.gif", "2");
  dir.write("images/c.jpg", "3");
  dir.write("images/ab.gif.txt", "4");
  dir.write("images/x1.gif", "5");
  dir.write("images/folder.gif/inner.gif", "6");  // a folder named like a match
  const FindCase cases[] = {
      {"*.gif", {"B.gif", "a.gif", "x1.gif"}},
      {"?.gif", {"B.gif", "a.gif"}},
      {"*.GIF", {}},
      {"*", {"B.gif", "a.gif", "ab.gif.txt", "c.jpg", "x1.gif"}},
      {"c.jpg", {"c.jpg"}},
      {"none*", {}},
  };
  for (const FindCase& c : cases)
    EXPECT_EQ(c.expected, sorted(find_files(dir.path() + "images/" + c.pattern))) << c.pattern;
  EXPECT_TRUE(find_files(dir.path() + "missing/*.gif").empty());
}

TEST(FsTest, MakeDirectoryCreatesOneLevelAndAcceptsAnExistingFolder) {
  TempDir dir;
  EXPECT_TRUE(make_directory(dir.path() + "log"));
  EXPECT_TRUE(is_directory(dir.path() + "log"));
  EXPECT_TRUE(make_directory(dir.path() + "log"));
  EXPECT_FALSE(make_directory(dir.path() + "a/b"));
  dir.write("file", "x");
  EXPECT_FALSE(make_directory(dir.path() + "file"));
}

TEST(FsTest, WholeFilesAreBinarySafe) {
  TempDir dir;
  const std::string data("a\0b\r\n\xff", 6);
  ASSERT_TRUE(write_whole_file(dir.path() + "f", data));
  std::string back = "old";
  ASSERT_TRUE(read_whole_file(dir.path() + "f", back));
  EXPECT_EQ(data, back);
  ASSERT_TRUE(write_whole_file(dir.path() + "f", "x"));
  ASSERT_TRUE(read_whole_file(dir.path() + "f", back));
  EXPECT_EQ("x", back);
  EXPECT_TRUE(delete_file(dir.path() + "f"));
  EXPECT_FALSE(read_whole_file(dir.path() + "f", back));
  EXPECT_EQ("x", back);  // untouched on failure
  EXPECT_FALSE(write_whole_file(dir.path() + "no/f", "x"));
}

TEST(FsTest, AFileThatCannotBeMadeIsToldWithItsPathAndTheSystemsReason) {
  TempDir dir;
  Reason why;
  why.text = "left alone";
  ASSERT_TRUE(write_whole_file(dir.path() + "f", "data", why));
  EXPECT_EQ(why.text, "left alone");
  std::string back;
  ASSERT_TRUE(read_whole_file(dir.path() + "f", back));
  EXPECT_EQ(back, "data");
  EXPECT_FALSE(write_whole_file(dir.path() + "no/f", "x", why));
  EXPECT_EQ(why.text, "cannot create " + dir.path() + "no/f: No such file or directory");
}

// A server holds its program folder exclusively, tvlctl shared: shared
// holders go together, an exclusive one goes with nobody, a holder that lets
// go frees the folder, and a folder that cannot be opened is not "busy".
TEST(FolderLockTest, SharedHoldersGoTogetherAndAnExclusiveOneWithNobody) {
  using Mode = FolderLock::Mode;
  using Outcome = FolderLock::Outcome;
  TempDir dir;
  struct Case {
    Mode held, wanted;
    Outcome outcome;
  } cases[] = {
      {Mode::Shared, Mode::Shared, Outcome::Locked},
      {Mode::Shared, Mode::Exclusive, Outcome::Busy},
      {Mode::Exclusive, Mode::Shared, Outcome::Busy},
      {Mode::Exclusive, Mode::Exclusive, Outcome::Busy},
  };
  for (const Case& c : cases) {
    FolderLock holder, other;
    ASSERT_EQ(holder.take(dir.path(), c.held, 0), Outcome::Locked);
    EXPECT_EQ(other.take(dir.path(), c.wanted, 20), c.outcome)
        << static_cast<int>(c.held) << static_cast<int>(c.wanted);
    EXPECT_EQ(other.held(), c.outcome == Outcome::Locked);
    holder.release();
    other.release();
    EXPECT_EQ(other.take(dir.path(), c.wanted, 0), Outcome::Locked);
  }
  FolderLock missing;
  EXPECT_EQ(missing.take(dir.path() + "no/such/", Mode::Shared, 0), Outcome::Failed);
  EXPECT_FALSE(missing.held());
}

// A connection's receive and send name what stopped them; the system's
// number behind each name gives the operator the text it always had.
bool is_open_fd(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, TheOwnerClosesItsDescriptorOnceAndAMoveHandsItOn) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  {
    UniqueFd read_end(ends[0]);
    UniqueFd moved(std::move(read_end));
    EXPECT_FALSE(read_end.valid());
    EXPECT_EQ(moved.get(), ends[0]);
    UniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(is_open_fd(ends[0]));  // no owner on the way closed it
    assigned.reset(ends[1]);
    EXPECT_FALSE(is_open_fd(ends[0]));
    EXPECT_EQ(assigned.get(), ends[1]);
  }
  EXPECT_FALSE(is_open_fd(ends[1]));  // the last owner closed it on leaving

  ASSERT_EQ(::pipe(ends), 0);
  {
    UniqueFd given_up(ends[0]);
    EXPECT_EQ(given_up.release(), ends[0]);
    EXPECT_FALSE(given_up.valid());
    UniqueFd same(ends[1]);
    same.reset(ends[1]);  // holding the one it holds keeps it open
    EXPECT_TRUE(is_open_fd(ends[1]));
  }
  EXPECT_TRUE(is_open_fd(ends[0]));
  EXPECT_FALSE(is_open_fd(ends[1]));
  ::close(ends[0]);
}

TEST(NetTest, ReceiveAndSendNameWhatStoppedThem) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  char buffer[8];
  net::IoError error;
  EXPECT_EQ(net::receive(pair[0], buffer, sizeof buffer, error), -1);
  EXPECT_TRUE(error.would_block());
  error = {};
  EXPECT_EQ(net::send_some(pair[1], "hi", 2, error), 2);
  EXPECT_EQ(error.fault, net::IoFault::None);
  EXPECT_EQ(net::receive(pair[0], buffer, sizeof buffer, error), 2);
  ::close(pair[1]);
  EXPECT_EQ(net::receive(pair[0], buffer, sizeof buffer, error), 0);  // the peer closed
  EXPECT_EQ(net::send_some(pair[0], "x", 1, error), -1);
  EXPECT_EQ(error.fault, net::IoFault::PeerClosed);
  EXPECT_EQ(net::error_text(error.system_code()), net::error_text(EPIPE));
  const net::SendPart too_many[net::kMaxSendParts + 1] = {};
  EXPECT_EQ(net::send_parts(pair[0], too_many, net::kMaxSendParts + 1, error), -1);
  EXPECT_EQ(error.fault, net::IoFault::Other);
  EXPECT_EQ(error.system_code(), EINVAL);
  ::close(pair[0]);

  const std::pair<net::IoFault, int> named[] = {{net::IoFault::None, 0},
                                                {net::IoFault::WouldBlock, EAGAIN},
                                                {net::IoFault::Reset, ECONNRESET},
                                                {net::IoFault::PeerClosed, EPIPE},
                                                {net::IoFault::Unsupported, EOPNOTSUPP},
                                                {net::IoFault::AddressUnusable, EADDRNOTAVAIL}};
  for (const auto& [fault, code] : named) EXPECT_EQ((net::IoError{fault, 0}.system_code()), code);
}

// A read of a known size stops at that size, at the end of the input or at
// a fault, and says how much came; read_all is true only for the whole size.
TEST(RetryTest, ReadUpToStopsAtTheSizeTheEndOrAFault) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_TRUE(write_all(fds[1], "abcdefgh", 8));
  char got[8] = {};
  EXPECT_EQ(read_up_to(fds[0], got, 3), 3u);  // the rest stays unread
  EXPECT_EQ(std::string(got, 3), "abc");
  ::close(fds[1]);
  EXPECT_EQ(read_up_to(fds[0], got, sizeof got), 5u);  // the end came first
  EXPECT_EQ(std::string(got, 5), "defgh");
  EXPECT_EQ(read_up_to(fds[0], got, sizeof got), 0u);
  ::close(fds[0]);
  EXPECT_EQ(read_up_to(fds[0], got, sizeof got), 0u);  // a closed descriptor

  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_TRUE(write_all(fds[1], "xy", 2));
  ::close(fds[1]);
  EXPECT_FALSE(read_all(fds[0], got, 3));
  ::close(fds[0]);
}

// The detached process is the one whose pid the caller got, in a session of
// its own and no child of the caller's (nothing for it to reap).
TEST(ProcessTest, ADetachedForkIsNoChildOfTheCallerAndLeadsNoSessionOfTheCallers) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = fork_detached();
  if (pid == 0) {
    const int seen[2] = {static_cast<int>(::getpid()), static_cast<int>(::getsid(0))};
    (void)!::write(pipe_fds[1], seen, sizeof seen);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  ASSERT_GT(pid, 0);
  int seen[2] = {0, 0};
  ASSERT_TRUE(read_all(pipe_fds[0], seen, sizeof seen));
  ::close(pipe_fds[0]);
  EXPECT_EQ(seen[0], pid);
  EXPECT_NE(seen[1], static_cast<int>(::getsid(0)));
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(AutostartTest, EntryNamesTheRunningProgramAndIsRemovedAgain) {
  TestEnvironment env;
  const std::string entry = env.config_dir() + "autostart/Tavella.desktop";
  platform_set_run_at_startup(true);
  std::string text;
  ASSERT_TRUE(read_whole_file(entry, text));
  EXPECT_NE(std::string::npos, text.find("[Desktop Entry]\n"));
  EXPECT_NE(std::string::npos, text.find("\nType=Application\n"));
  EXPECT_NE(std::string::npos, text.find("\nExec=" + program_path() + "\n"));
  // Turning it on again rewrites the same entry.
  platform_set_run_at_startup(true);
  EXPECT_TRUE(is_regular_file(entry));
  platform_set_run_at_startup(false);
  EXPECT_FALSE(is_regular_file(entry));
  platform_set_run_at_startup(false);  // nothing to remove: no harm
  EXPECT_FALSE(is_regular_file(entry));
}

TEST(AutostartTest, MissingConfigFolderIsCreated) {
  TestEnvironment env;
  std::string config = env.config_dir() + "deeper";
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  platform_set_run_at_startup(true);
  EXPECT_TRUE(is_regular_file(config + "/autostart/Tavella.desktop"));
}

TEST(AutostartTest, WithoutXdgConfigHomeTheHomeConfigIsUsed) {
  TestEnvironment env;
  std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  TempDir home;
  setenv("HOME", home.path().c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  platform_set_run_at_startup(true);
  EXPECT_TRUE(home.exists(".config/autostart/Tavella.desktop"));
  platform_set_run_at_startup(false);
  EXPECT_FALSE(home.exists(".config/autostart/Tavella.desktop"));
  setenv("HOME", old_home.c_str(), 1);
}

// --- events and threads --------------------------------------------------------

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event e(true);
  EXPECT_FALSE(e.wait(0));
  e.set();
  EXPECT_TRUE(e.wait(0));
  EXPECT_TRUE(e.wait(0));
  e.reset();
  EXPECT_FALSE(e.wait(10));
}

TEST(EventTest, AutomaticResetReleasesOneWaitOnly) {
  Event e(false, true);
  EXPECT_TRUE(e.wait(0));
  EXPECT_FALSE(e.wait(0));
  std::thread setter([&] { e.set(); });
  EXPECT_TRUE(e.wait(10000));
  setter.join();
  EXPECT_FALSE(e.wait(0));
}

TEST(EventTest, PollableEventIsManualResetAndReadableWhileSet) {
  PollableEvent e;
  ASSERT_TRUE(e.valid());
  EXPECT_FALSE(e.is_set());
  e.set();
  e.set();
  EXPECT_TRUE(e.is_set());
  EXPECT_TRUE(e.wait(0));  // waiting does not consume it
  e.reset();
  EXPECT_FALSE(e.wait(10));
}

TEST(ThreadTest, JoinForTimesOutOnARunningThreadAndJoinsAnEndedOne) {
  Event release(true);
  Thread t;
  ASSERT_TRUE(t.start([&] { release.wait(-1); }, 128 * 1024));
  EXPECT_FALSE(t.join_for(20));
  release.set();
  EXPECT_TRUE(t.join_for(10000));
  EXPECT_FALSE(t.started());
}

TEST(ThreadTest, CacheRunsEveryJobAndReusesFinishedThreads) {
  std::mutex lock;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  {
    ThreadCache cache(128 * 1024, 4, 10000);
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(cache.run([&] {
        {
          std::lock_guard<std::mutex> hold(lock);
          threads.insert(std::this_thread::get_id());
        }
        ++done;
      }));
      // One job at a time: the finished thread takes the next one.
      ASSERT_TRUE(cache.wait_idle(10000));
    }
    EXPECT_EQ(0, cache.busy());
  }
  EXPECT_EQ(20, done.load());
  EXPECT_EQ(1u, threads.size());
}

TEST(ThreadTest, CacheThreadsRunUnderTheirScheduling) {
  for (Scheduling scheduling : {Scheduling::Normal, Scheduling::Batch}) {
    std::atomic<int> policy{-1};
    ThreadCache cache(128 * 1024, 1, 10000, scheduling);
    // The second job runs on the cached thread of the first.
    for (int i = 0; i < 2; ++i) {
      policy = -1;
      ASSERT_TRUE(cache.run([&] { policy = sched_getscheduler(0); }));
      ASSERT_TRUE(cache.wait_idle(10000));
      EXPECT_EQ(policy.load(), scheduling == Scheduling::Batch ? SCHED_BATCH : SCHED_OTHER);
    }
  }
}

TEST(ThreadTest, CacheDestructorWaitsForRunningJobs) {
  std::atomic<int> finished{0};
  Event go(true);
  {
    ThreadCache cache(128 * 1024, 1, 10000);
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(cache.run([&] {
        go.wait(-1);
        ++finished;
      }));
    EXPECT_EQ(5, cache.busy());
    EXPECT_FALSE(cache.wait_idle(10));
    go.set();
  }
  EXPECT_EQ(5, finished.load());
}

// A thread's exit still runs code (the destructors of its thread-local
// data: a library's per-thread state is freed there). Marked here, slowly.
std::atomic<int> g_thread_exits{0};
struct ExitMark {
  bool used = false;
  ~ExitMark() {
    if (!used) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++g_thread_exits;
  }
};
thread_local ExitMark t_exit_mark;

// Once the destructor returns, nothing of the cache's threads runs any more,
// so the process may end right after it.
TEST(ThreadTest, CacheDestructorReturnsOnlyAfterItsThreadsHaveExited) {
  g_thread_exits = 0;
  {
    ThreadCache cache(128 * 1024, 0, 0);  // no idle threads: each ends after its job
    Event go(true);
    for (int i = 0; i < 3; ++i)
      ASSERT_TRUE(cache.run([&] {
        t_exit_mark.used = true;
        go.wait(-1);
      }));
    go.set();
  }
  EXPECT_EQ(g_thread_exits.load(), 3);
}

}  // namespace
}  // namespace tvl::test

TEST(InterfacesTest, LoopbackComesLastAndRepeatsGo) {
  struct Case {
    std::vector<std::string> in, out;
  } cases[] = {
      {{}, {}},
      {{"127.0.0.1", "192.168.1.5", "10.0.0.2"}, {"192.168.1.5", "10.0.0.2", "127.0.0.1"}},
      {{"127.0.1.1", "10.0.0.2", "127.0.0.1", "10.0.0.2"}, {"10.0.0.2", "127.0.1.1", "127.0.0.1"}},
      // Only addresses starting "127." are loopback, not 1.27.x.x or 212.7.x.x.
      {{"127.0.0.1", "1.27.0.1", "212.7.0.1"}, {"1.27.0.1", "212.7.0.1", "127.0.0.1"}},
  };
  for (const Case& c : cases) EXPECT_EQ(tvl::order_loopback_last(c.in), c.out);
}

TEST(InterfacesTest, MachineListsItsLoopbackLast) {
  // Every machine that runs these tests has the loopback interface up.
  std::vector<std::string> a = tvl::local_ipv4_addresses();
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a.back().rfind("127.", 0), 0u);
  EXPECT_NE(std::find(a.begin(), a.end(), "127.0.0.1"), a.end());
  for (const std::string& x : a) EXPECT_EQ(std::count(x.begin(), x.end(), '.'), 3) << x;
}

// The soft descriptor limit is raised to the hard one (what one process of
// the test may do to itself); calling again changes nothing.
TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
  struct rlimit before {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &before));
  if (before.rlim_max > 4096) {
    struct rlimit lowered = before;
    lowered.rlim_cur = 256;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &lowered));
  }
  const long raised = tvl::raise_descriptor_limit();
  struct rlimit after {};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &after));
  EXPECT_EQ(after.rlim_cur, before.rlim_max);
  EXPECT_EQ(static_cast<rlim_t>(raised), after.rlim_cur);
  EXPECT_EQ(tvl::raise_descriptor_limit(), raised);
}

// Two threads' waits on the same two listeners: a newcomer that came while
// nobody waited is seen by the next wait, on the right listener, by whichever
// waiter looks; the stop wakes both.
TEST(ListenWaitTest, SharedListenersReportTheReadyOneAndStopWakesEveryWaiter) {
  int error = 0;
  int listeners[2];
  int ports[2];
  for (int i = 0; i < 2; ++i) {
    listeners[i] = tvl::net::create_listen_socket(error);
    ASSERT_GE(listeners[i], 0);
    ASSERT_TRUE(tvl::net::bind_address(listeners[i], "127.0.0.1", 0, error));
    ports[i] = tvl::net::local_port(listeners[i]);
    ASSERT_NE(ports[i], 0);
    ASSERT_TRUE(tvl::net::start_listening(listeners[i], 16, error));
  }
  tvl::PollableEvent stop;
  tvl::net::ListenWait first(listeners, 2, stop.fd()), second(listeners, 2, stop.fd());
  ASSERT_TRUE(first.valid() && second.valid());
  bool ready[2];
  EXPECT_EQ(0, first.wait(ready, 0).status);

  tvl::test::RawClient client;
  ASSERT_TRUE(client.connect(ports[1]));
  tvl::net::WaitResult w = second.wait(ready, 5000);
  EXPECT_EQ(1, w.status);
  EXPECT_TRUE(w.readable && ready[1] && !ready[0] && !w.stop);
  int socket = -1, port = 0;
  std::string ip;
  ASSERT_EQ(tvl::net::AcceptResult::Accepted,
            tvl::net::accept_connection(listeners[1], socket, ip, port, error));
  int nodelay = 0;
  socklen_t size = sizeof nodelay;
  ASSERT_EQ(0, ::getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &nodelay, &size));
  EXPECT_EQ(1, nodelay) << "the accepted socket takes TCP_NODELAY from its listener";
  tvl::net::close_socket(socket);
  EXPECT_EQ(0, first.wait(ready, 0).status) << "the taken newcomer is no longer reported";

  std::atomic<int> woken{0};
  std::thread a([&] { woken += first.wait(ready, 10000).stop; });
  bool other[2];
  std::thread b([&] { woken += second.wait(other, 10000).stop; });
  stop.set();
  a.join();
  b.join();
  EXPECT_EQ(2, woken.load());
  for (int l : listeners) tvl::net::close_socket(l);
}
