// Chat load: keeps many users online in a few rooms, each polling body.ghp on
// its own keep-alive connection the way the chat window's body frame does,
// while some of them post one line per second. Measures the poll rate, the
// poll latency, the delay from a post to its delivery, lost and duplicated
// lines, and the server's peak resident memory.
//
//   chat_load --port P [--users 500] [--rooms 5] [--posters 10] [--seconds 30]
//             [--threads 2] [--interval-ms 0] [--wait 0] [--stream 0]
//             [--quiet-seconds 0] [--pid SERVER_PID]
//   chat_load --ports P1,P2,P3 --pid PID1,PID2,PID3 [--snapshot CMD] ...
//
// --ports spreads the users over several servers of one chat, round robin
// by user (user u talks only to the u-th port modulo their number); the
// post-to-delivery figures are then split by whether the reader's server is
// the poster's, and --pid takes each server's process in the same order.
// --snapshot CMD runs "CMD LABEL" through the shell when the quiet spell
// begins (quiet-start), when the measuring window opens (window-start) and
// when the run ends (end), so that a caller can sample something outside
// (a shared store's counters) at those moments.
//
// --wait 1 asks the waiting form of the stream (body.ghp with "&wait=1"), as
// the chat window does: the server answers when a line comes. --quiet-seconds
// N first lets everybody wait N seconds while nobody posts and counts the
// requests of that time. --stream 1 keeps one live stream per user open
// instead (body.ghp with "&stream=1", an event stream); a stream that closes
// is opened again with the last line number received (Last-Event-ID).
//
// With --pid, the server's CPU time (user and system) over the measuring
// window is reported per 1,000 deliveries, and its peak memory.
//
// Every posted line carries a token "LN_<poster>_<number>_<send time>_E". A
// user who did not post must receive every line posted in its room while the
// measurement runs, exactly once. A poster's own post moves its delivery mark
// past lines it had not fetched yet (the chat's rule), so posters are counted
// apart. Exits 1 when a non-posting user lost or doubled a line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

struct Options {
  std::vector<int> ports;  // the users' servers, round robin by user
  std::vector<int> pids;   // the servers' processes, same order (may be fewer)
  std::string snapshot;    // shell command run with a label at the window's edges
  int users = 500;
  int rooms = 5;
  int posters = 10;
  int seconds = 30;
  int threads = 2;
  int interval_ms = 0;
  int wait = 0;
  int stream = 0;
  int quiet_seconds = 0;
};

// One posted line, as the poster saw it go out.
struct Posted {
  int room = 0;
  int poster = 0;
  int number = 0;
  int64_t sent_us = 0;
  bool answered = false;  // the post got its answer
};

enum class Kind { Join, Poll, Post, Stream };

struct Conn {
  int fd = -1;
  int user = 0;        // index of the user it belongs to
  bool poster_conn = false;
  Kind kind = Kind::Join;
  std::string out;
  std::size_t out_off = 0;
  std::string in;
  int64_t sent_us = 0;
  bool busy = false;   // a request is out, its answer not complete
  int64_t next_us = 0; // when to send the next request (when idle)
  int pending_post = -1;  // index into posted of the post in flight
  bool first_poll = true;
  std::string last_id;  // of a live stream: the last "id:" received
  std::size_t scanned = 0;  // of a live stream: bytes of `in` already read
};

struct User {
  std::string name;
  int room = 0;
  bool poster = false;
  bool joined = false;
  std::string key;  // the place's key from the chat window (guests get one at entry)
  int node = 0;  // index of its server in Options::ports
  std::set<std::pair<int, int>> seen;  // (poster, number)
  int duplicates = 0;
};

struct Shared {
  Options opt;
  std::vector<User> users;
  std::mutex posted_lock;
  std::vector<Posted> posted;
  std::atomic<int> joined{0};
  std::atomic<int> errors{0};
  std::atomic<int64_t> window_start{0}, window_end{0}, stop_at{0};
  std::atomic<int64_t> quiet_start{0}, quiet_end{0};
  std::atomic<bool> polling{false};
  std::atomic<long> quiet_requests{0};
  std::atomic<long> posts_in_window{0};
  std::atomic<long> streams_opened{0};
};

struct ThreadStats {
  std::vector<uint32_t> poll_latency_us;  // polls completed in the window, first polls excluded
  std::vector<int64_t> delivery_us;
  // With several servers: deliveries to readers on the poster's server,
  // and on another one.
  std::vector<int64_t> delivery_same_us, delivery_other_us;
  long polls_in_window = 0;
  long first_polls = 0;
  long reconnects = 0;
};

int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string headers(int port, const std::string& referer) {
  char host[64];
  std::snprintf(host, sizeof host, "127.0.0.1:%d", port);
  return std::string("Host: ") + host +
         "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) chat-load/1.0\r\n"
         "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
         "Accept-Language: en-US,en;q=0.9\r\nAccept-Encoding: gzip, deflate\r\n"
         "Referer: http://" + host + referer + "\r\nConnection: Keep-Alive\r\n";
}

// Length of a complete answer at the front of `in`, or 0 while incomplete.
std::size_t answer_length(const std::string& in) {
  std::size_t end = in.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  std::size_t cl = in.find("Content-Length: ");
  if (cl == std::string::npos || cl > end) return 0;
  long body = std::strtol(in.c_str() + cl + 16, nullptr, 10);
  std::size_t total = end + 4 + static_cast<std::size_t>(body);
  return in.size() >= total ? total : 0;
}

class Worker {
 public:
  Worker(Shared& s, int index) : s_(s), index_(index) {}

  void run() {
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    const Options& o = s_.opt;
    for (int u = index_; u < o.users; u += o.threads) {
      conns_.push_back(Conn{});
      conns_.back().user = u;
      if (s_.users[u].poster) {
        conns_.push_back(Conn{});
        conns_.back().user = u;
        conns_.back().poster_conn = true;
        conns_.back().kind = Kind::Post;
      }
    }
    for (std::size_t i = 0; i < conns_.size(); ++i) open(i);
    // Join one user at a time per worker, as people arrive.
    for (std::size_t i = 0; i < conns_.size(); ++i)
      if (!conns_[i].poster_conn) send_join(i);

    epoll_event events[256];
    while (true) {
      const int64_t t = now_us();
      if (s_.stop_at.load() && t >= s_.stop_at.load()) break;
      schedule(t);
      int n = ::epoll_wait(ep_, events, 256, 5);
      for (int k = 0; k < n; ++k) {
        const std::size_t i = events[k].data.u64;
        if (events[k].events & EPOLLOUT) flush(i);
        if (events[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) receive(i);
      }
    }
    for (Conn& c : conns_)
      if (c.fd >= 0) ::close(c.fd);
    ::close(ep_);
  }

  ThreadStats stats;

 private:
  int port_of(int user) const { return s_.opt.ports[static_cast<std::size_t>(s_.users[user].node)]; }

  void open(std::size_t i) {
    Conn& c = conns_[i];
    if (c.fd >= 0) ::close(c.fd);
    c.fd = connect_to(port_of(c.user));
    c.in.clear();
    c.busy = false;
    if (c.fd < 0) {
      s_.errors++;
      return;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    ::epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &e);
  }

  void send(std::size_t i, std::string request) {
    Conn& c = conns_[i];
    if (c.fd < 0) open(i);
    const int64_t t = now_us(), qs = s_.quiet_start.load();
    if (qs && t >= qs && t < s_.quiet_end.load()) s_.quiet_requests++;
    const int64_t ws = s_.window_start.load();
    if (c.kind == Kind::Post && ws && t >= ws && t < s_.window_end.load()) s_.posts_in_window++;
    c.out = std::move(request);
    c.out_off = 0;
    c.busy = true;
    c.sent_us = now_us();
    flush(i);
  }

  void flush(std::size_t i) {
    Conn& c = conns_[i];
    while (c.out_off < c.out.size()) {
      ssize_t w = ::send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
      if (w > 0) {
        c.out_off += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        epoll_event e{};
        e.events = EPOLLIN | EPOLLOUT;
        e.data.u64 = i;
        ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &e);
        return;
      }
      fail(i);
      return;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &e);
  }

  // The server closed or the socket failed: reconnect and ask again.
  void fail(std::size_t i) {
    Conn& c = conns_[i];
    stats.reconnects++;
    // A server that keeps refusing ends the run instead of spinning here.
    if (stats.reconnects > 20000) {
      s_.errors++;
      s_.stop_at = now_us();
      c.busy = false;
      return;
    }
    const std::string again = c.out;
    const bool was_busy = c.busy;
    open(i);
    if (was_busy && c.fd >= 0) {
      send(i, again);
    }
  }

  void receive(std::size_t i) {
    Conn& c = conns_[i];
    char buf[65536];
    while (true) {
      ssize_t r = ::recv(c.fd, buf, sizeof buf, 0);
      if (r > 0) {
        c.in.append(buf, static_cast<std::size_t>(r));
        continue;
      }
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (c.kind == Kind::Stream) {
        // A live stream ended: it is opened again where it broke off.
        read_stream(i, now_us());
        c.busy = false;
        c.in.clear();
        c.scanned = 0;
        open(i);
        c.next_us = 0;
        return;
      }
      // Closed: an answer without keep-alive, or a failure.
      if (c.busy && answer_length(c.in) == 0) {
        fail(i);
        return;
      }
      break;
    }
    if (c.kind == Kind::Stream) {
      read_stream(i, now_us());
      return;
    }
    std::size_t len;
    while (c.busy && (len = answer_length(c.in)) > 0) {
      std::string answer = c.in.substr(0, len);
      c.in.erase(0, len);
      c.busy = false;
      answered(i, answer);
    }
  }

  void answered(std::size_t i, const std::string& answer) {
    Conn& c = conns_[i];
    const int64_t t = now_us();
    User& u = s_.users[c.user];
    if (answer.compare(0, 15, "HTTP/1.0 200 OK") != 0) s_.errors++;
    switch (c.kind) {
      case Kind::Join: {
        // The window carries the key as the pages' password value (its
        // identity and the addresses of its frames).
        const std::string mark = "username=" + u.name + "&amp;password=";
        const std::size_t at = answer.find(mark);
        if (at == std::string::npos) {
          // Not admitted (no such room, or the table is full): it counts as
          // not joined, and the run fails.
          s_.errors++;
          c.kind = Kind::Post;  // never polls
          c.next_us = INT64_MAX;
          break;
        }
        const std::size_t from = at + mark.size();
        u.key = answer.substr(from, answer.find('&', from) - from);
        u.joined = true;
        s_.joined++;
        c.kind = s_.opt.stream ? Kind::Stream : Kind::Poll;
        c.next_us = 0;  // polls start when every user is in
        break;
      }
      case Kind::Poll: {
        const int64_t ws = s_.window_start.load(), we = s_.window_end.load();
        if (c.first_poll) {
          stats.first_polls++;
          c.first_poll = false;
        } else if (ws && c.sent_us >= ws && t <= we) {
          stats.polls_in_window++;
          stats.poll_latency_us.push_back(static_cast<uint32_t>(t - c.sent_us));
        }
        collect(u, answer, t);
        c.next_us = t + static_cast<int64_t>(s_.opt.interval_ms) * 1000;
        break;
      }
      case Kind::Stream:
        break;
      case Kind::Post:
        if (c.pending_post >= 0) {
          std::lock_guard<std::mutex> hold(s_.posted_lock);
          s_.posted[c.pending_post].answered = true;
        }
        c.pending_post = -1;
        break;
    }
  }

  // Reads the complete events a live stream has brought: their line tokens
  // and the last line number.
  void read_stream(std::size_t i, int64_t t) {
    Conn& c = conns_[i];
    const std::size_t end = c.in.rfind("\n\n");
    if (end == std::string::npos || end + 2 <= c.scanned) return;
    const std::string events = c.in.substr(c.scanned, end + 2 - c.scanned);
    collect(s_.users[c.user], events, t);
    const std::size_t id = events.rfind("\nid: ");
    if (id != std::string::npos) c.last_id = events.substr(id + 5, events.find('\n', id + 5) - id - 5);
    // What was read is dropped, so a stream holds only its unfinished event.
    c.in.erase(0, end + 2);
    c.scanned = 0;
  }

  // Notes every line token of the answer for the user.
  void collect(User& u, const std::string& answer, int64_t t) {
    std::size_t at = 0;
    while ((at = answer.find("LN_", at)) != std::string::npos) {
      int poster = 0, number = 0;
      long long sent = 0;
      if (std::sscanf(answer.c_str() + at, "LN_%d_%d_%lld_E", &poster, &number, &sent) == 3) {
        if (!u.seen.insert({poster, number}).second) {
          u.duplicates++;
        } else {
          stats.delivery_us.push_back(t - sent);
          if (s_.opt.ports.size() > 1 && poster >= 0 && poster < s_.opt.users)
            (s_.users[poster].node == u.node ? stats.delivery_same_us : stats.delivery_other_us)
                .push_back(t - sent);
        }
      }
      at += 3;
    }
  }

  void send_join(std::size_t i) {
    const User& u = s_.users[conns_[i].user];
    send(i, "GET /chat.ghp?username=" + u.name + "&password=&room=" + std::to_string(u.room) +
                "&sex=" + std::to_string(1 + conns_[i].user % 12) + " HTTP/1.1\r\n" +
                headers(port_of(conns_[i].user), "/") + "\r\n");
  }

  void schedule(int64_t t) {
    const Options& o = s_.opt;
    for (std::size_t i = 0; i < conns_.size(); ++i) {
      Conn& c = conns_[i];
      if (c.busy) continue;
      const User& u = s_.users[c.user];
      if (c.kind == Kind::Stream && s_.polling.load() && t >= c.next_us) {
        const std::string path = "/body.ghp?username=" + u.name + "&password=" + u.key +
                                 "&room=" + std::to_string(u.room) + "&stream=1";
        s_.streams_opened++;
        c.next_us = INT64_MAX;  // open until it closes
        send(i, "GET " + path + " HTTP/1.1\r\n" + headers(port_of(c.user), "/") +
                    (c.last_id.empty() ? std::string() : "Last-Event-ID: " + c.last_id + "\r\n") +
                    "\r\n");
      } else if (c.kind == Kind::Poll && s_.polling.load() && t >= c.next_us) {
        const std::string path = "/body.ghp?username=" + u.name + "&password=" + u.key +
                                 "&room=" + std::to_string(u.room) + (o.wait ? "&wait=1" : "");
        send(i, "GET " + path + " HTTP/1.1\r\n" +
                    headers(port_of(c.user), "/chat.ghp?username=" + u.name + "&password=&room=" +
                                   std::to_string(u.room) + "&sex=1") +
                    "\r\n");
      } else if (c.kind == Kind::Post) {
        const int64_t ws = s_.window_start.load(), we = s_.window_end.load();
        if (!ws || t < c.next_us || t >= we) continue;
        if (c.next_us == 0) {
          // Spread the posters over the second.
          c.next_us = ws + static_cast<int64_t>(c.user) * 1000000 / std::max(1, o.posters);
          if (t < c.next_us) continue;
        }
        post(i, t);
        c.next_us += 1000000;
      }
    }
  }

  void post(std::size_t i, int64_t t) {
    Conn& c = conns_[i];
    const User& u = s_.users[c.user];
    int index, number;
    {
      std::lock_guard<std::mutex> hold(s_.posted_lock);
      index = static_cast<int>(s_.posted.size());
      number = index;
      s_.posted.push_back(Posted{u.room, c.user, number, t, false});
    }
    char token[96];
    std::snprintf(token, sizeof token, "LN_%d_%d_%lld_E", c.user, number, static_cast<long long>(t));
    // Plain style in black: the line holds the text exactly as typed.
    const std::string body = std::string("message=") + token +
                             "+load+line&chat_flag=1&mtowho=All&mfilters=0&mfont=-1&mfcolor=1"
                             "&elist=0&seltype=0&msg=";
    const std::string path = "/chatsubmit.ghp?username=" + u.name + "&password=" + u.key +
                             "&room=" + std::to_string(u.room);
    c.pending_post = index;
    send(i, "POST " + path + " HTTP/1.1\r\n" + headers(port_of(c.user), path) +
                "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  Shared& s_;
  int index_;
  int ep_ = -1;
  std::vector<Conn> conns_;
};

int server_threads(int pid) {
  if (pid <= 0) return -1;
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("Threads:", 0) == 0) return static_cast<int>(std::strtol(line.c_str() + 8, nullptr, 10));
  return -1;
}

// The process's CPU time, user and system, in seconds; -1 when unknown.
double cpu_seconds(int pid) {
  if (pid <= 0) return -1;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(f, text);
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  // Fields after the command's ")": state is the 3rd field, utime the 14th.
  unsigned long long utime = 0, stime = 0;
  const char* p = text.c_str() + close + 2;
  for (int field = 3; field < 14 && *p; ++field) p = std::strchr(p, ' ') ? std::strchr(p, ' ') + 1 : "";
  if (std::sscanf(p, "%llu %llu", &utime, &stime) != 2) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long peak_rss_kib(int pid) {
  if (pid <= 0) return -1;
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

template <typename T>
double percentile(std::vector<T>& v, double p) {
  if (v.empty()) return 0;
  std::size_t k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return static_cast<double>(v[k]);
}

// "p50 / p99 / max" of delivery times in microseconds, in milliseconds.
void print_delivery(const char* label, std::vector<int64_t>& v) {
  std::printf("%s%.1f ms / %.1f ms / %.1f ms (%zu deliveries)\n", label, percentile(v, 50) / 1000.0,
              percentile(v, 99) / 1000.0,
              v.empty() ? 0.0 : static_cast<double>(*std::max_element(v.begin(), v.end())) / 1000.0,
              v.size());
}

// "12,34,56" as numbers; false when an item is not a positive number.
bool parse_list(const std::string& text, std::vector<int>& out) {
  out.clear();
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t comma = std::min(text.find(',', from), text.size());
    const std::string item = text.substr(from, comma - from);
    char* end = nullptr;
    const long v = std::strtol(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || v <= 0 || v > INT32_MAX) return false;
    out.push_back(static_cast<int>(v));
    from = comma + 1;
  }
  return !out.empty();
}

// Runs the caller's snapshot command with `label`, if there is one.
void snapshot(const Options& o, const char* label) {
  if (o.snapshot.empty()) return;
  const std::string command = o.snapshot + " " + label;
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "snapshot %s failed\n", label);
}

}  // namespace

int main(int argc, char** argv) {
  Shared s;
  Options& o = s.opt;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    const std::string text = argv[i + 1];
    int v = std::atoi(argv[i + 1]);
    bool ok = true;
    if (k == "--port" || k == "--ports") ok = parse_list(text, o.ports);
    else if (k == "--pid") ok = parse_list(text, o.pids);
    else if (k == "--snapshot") o.snapshot = text;
    else if (k == "--users") o.users = v;
    else if (k == "--rooms") o.rooms = v;
    else if (k == "--posters") o.posters = v;
    else if (k == "--seconds") o.seconds = v;
    else if (k == "--threads") o.threads = v;
    else if (k == "--interval-ms") o.interval_ms = v;
    else if (k == "--wait") o.wait = v;
    else if (k == "--stream") o.stream = v;
    else if (k == "--quiet-seconds") o.quiet_seconds = v;
    else {
      std::fprintf(stderr, "unknown option %s\n", k.c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "%s wants positive numbers separated by commas, not \"%s\"\n", k.c_str(),
                   text.c_str());
      return 2;
    }
  }
  if (o.ports.empty() || o.users < 1 || o.rooms < 1 || o.posters > o.users || o.threads < 1 ||
      o.seconds < 1 || o.ports.size() > 65535 || o.pids.size() > o.ports.size()) {
    std::fprintf(stderr, "usage: chat_load --port P | --ports P1,P2,.. [--users 500] [--rooms 5] "
                         "[--posters 10] [--seconds 30] [--threads 2] [--interval-ms 0] "
                         "[--wait 0] [--stream 0] [--quiet-seconds 0] [--pid PID | PID1,PID2,..] "
                         "[--snapshot CMD]\n");
    return 2;
  }
  const int nodes = static_cast<int>(o.ports.size());
  s.users.resize(o.users);
  for (int u = 0; u < o.users; ++u) {
    s.users[u].name = "load" + std::to_string(u);
    s.users[u].room = u % o.rooms + 1;
    s.users[u].poster = u < o.posters;
    s.users[u].node = u % nodes;
  }
  // The servers' threads, the most seen while the load runs.
  std::vector<int> peak_threads(o.pids.size(), -1);
  auto sample_threads = [&] {
    for (std::size_t n = 0; n < o.pids.size(); ++n)
      peak_threads[n] = std::max(peak_threads[n], server_threads(o.pids[n]));
  };

  std::vector<Worker*> workers;
  std::vector<std::thread> threads;
  for (int t = 0; t < o.threads; ++t) workers.push_back(new Worker(s, t));
  for (int t = 0; t < o.threads; ++t) threads.emplace_back([w = workers[t]] { w->run(); });

  // Every user joins, then everybody polls; the first poll of each waits
  // 200 ms on the server. The window opens once they are all through it.
  const int64_t join_deadline = now_us() + 60'000'000;
  while (s.joined.load() < o.users && now_us() < join_deadline && !s.stop_at.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int joined = s.joined.load();
  s.polling = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sample_threads();
  if (o.quiet_seconds > 0) {
    snapshot(o, "quiet-start");
    s.quiet_start = now_us();
    s.quiet_end = s.quiet_start.load() + static_cast<int64_t>(o.quiet_seconds) * 1'000'000;
    while (now_us() < s.quiet_end.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      sample_threads();
    }
  }
  snapshot(o, "window-start");
  const int64_t start = now_us();
  std::vector<double> cpu_start(o.pids.size()), cpu_window(o.pids.size(), -1);
  for (std::size_t n = 0; n < o.pids.size(); ++n) cpu_start[n] = cpu_seconds(o.pids[n]);
  bool window_over = false;
  s.window_start = start;
  s.window_end = start + static_cast<int64_t>(o.seconds) * 1'000'000;
  // A few seconds after the window to fetch the last lines posted in it.
  if (!s.stop_at.load()) s.stop_at = s.window_end.load() + 3'000'000;
  while (now_us() < s.stop_at.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sample_threads();
    if (!window_over && now_us() >= s.window_end.load()) {
      window_over = true;
      for (std::size_t n = 0; n < o.pids.size(); ++n)
        if (cpu_start[n] >= 0) cpu_window[n] = cpu_seconds(o.pids[n]) - cpu_start[n];
    }
  }
  for (std::thread& t : threads) t.join();
  snapshot(o, "end");

  ThreadStats all;
  for (Worker* w : workers) {
    all.poll_latency_us.insert(all.poll_latency_us.end(), w->stats.poll_latency_us.begin(),
                               w->stats.poll_latency_us.end());
    all.delivery_us.insert(all.delivery_us.end(), w->stats.delivery_us.begin(), w->stats.delivery_us.end());
    all.delivery_same_us.insert(all.delivery_same_us.end(), w->stats.delivery_same_us.begin(),
                                w->stats.delivery_same_us.end());
    all.delivery_other_us.insert(all.delivery_other_us.end(), w->stats.delivery_other_us.begin(),
                                 w->stats.delivery_other_us.end());
    all.polls_in_window += w->stats.polls_in_window;
    all.first_polls += w->stats.first_polls;
    all.reconnects += w->stats.reconnects;
    delete w;
  }

  // Lines each user should have: every answered post of its room, except
  // its own (a poster gets its own line in the post's answer). [0] counts
  // readers on the poster's server, [1] readers on another.
  long expected[2] = {0, 0}, lost[2] = {0, 0};
  long doubled = 0, poster_missed = 0, unanswered = 0;
  for (const Posted& p : s.posted)
    if (!p.answered) unanswered++;
  for (int u = 0; u < o.users; ++u) {
    const User& user = s.users[u];
    doubled += user.duplicates;
    for (const Posted& p : s.posted) {
      if (!p.answered || p.room != user.room || p.poster == u) continue;
      const bool got = user.seen.count({p.poster, p.number}) > 0;
      if (user.poster) {
        if (!got) poster_missed++;
        continue;
      }
      const int other = s.users[p.poster].node == user.node ? 0 : 1;
      expected[other]++;
      if (!got) lost[other]++;
    }
  }
  const long all_lost = lost[0] + lost[1];

  std::printf("chat load: %d of %d users joined in %d rooms, %d posting 1 line/s, %d s, %d client threads, poll pause %d ms%s",
              joined, o.users, o.rooms, o.posters, o.seconds, o.threads, o.interval_ms,
              o.stream ? ", live streams" : o.wait ? ", waiting form" : "");
  if (nodes > 1) std::printf(", %d servers, users round robin", nodes);
  std::printf("\n");
  std::printf("polls per second:        %.0f\n", static_cast<double>(all.polls_in_window) / o.seconds);
  std::printf("requests per second:     %.0f (polls and posts)\n",
              static_cast<double>(all.polls_in_window + s.posts_in_window.load()) / o.seconds);
  if (o.quiet_seconds > 0)
    std::printf("while nobody writes:     %.2f requests per visitor per 20 s (%ld in %d s)\n",
                static_cast<double>(s.quiet_requests.load()) / std::max(1, joined) * 20.0 /
                    o.quiet_seconds,
                s.quiet_requests.load(), o.quiet_seconds);
  if (o.pids.size() == 1 && peak_threads[0] >= 0)
    std::printf("server threads, peak:    %d\n", peak_threads[0]);
  std::printf("poll latency p50 / p99:  %.2f ms / %.2f ms\n", percentile(all.poll_latency_us, 50) / 1000.0,
              percentile(all.poll_latency_us, 99) / 1000.0);
  const std::size_t deliveries = all.delivery_us.size();
  print_delivery("post to delivery p50 / p99 / max: ", all.delivery_us);
  if (nodes > 1) {
    print_delivery("  reader on the poster's server:  ", all.delivery_same_us);
    print_delivery("  reader on another server:       ", all.delivery_other_us);
  }
  double cpu_total = 0;
  bool cpu_known = !o.pids.empty();
  for (double c : cpu_window) {
    if (c < 0) cpu_known = false;
    cpu_total += c;
  }
  if (cpu_known && deliveries > 0)
    std::printf("server CPU per 1,000 deliveries: %.4f s (%.2f s over the %d s window, %zu deliveries%s)\n",
                cpu_total / static_cast<double>(deliveries) * 1000.0, cpu_total, o.seconds, deliveries,
                o.pids.size() > 1 ? ", all servers" : "");
  if (o.stream) std::printf("streams opened:          %ld\n", s.streams_opened.load());
  std::printf("lines posted:            %zu (%ld without answer)\n", s.posted.size(), unanswered);
  std::printf("deliveries expected:     %ld, lost %ld, duplicated %ld\n", expected[0] + expected[1],
              all_lost, doubled);
  if (nodes > 1)
    std::printf("  lost on the poster's server / another: %ld of %ld / %ld of %ld\n", lost[0],
                expected[0], lost[1], expected[1]);
  std::printf("posters' view:           %ld lines of others skipped after their own posts\n", poster_missed);
  std::printf("reconnects / errors:     %ld / %d\n", all.reconnects, s.errors.load());
  if (o.pids.size() == 1) {
    const long rss = peak_rss_kib(o.pids[0]);
    if (rss >= 0) std::printf("server peak resident:    %ld KiB\n", rss);
  } else {
    for (std::size_t n = 0; n < o.pids.size(); ++n)
      std::printf("server %zu (port %d): peak resident %ld KiB, threads peak %d, CPU %.2f s in the window\n",
                  n + 1, o.ports[n], peak_rss_kib(o.pids[n]), peak_threads[n], cpu_window[n]);
  }
  return (all_lost || doubled || joined < o.users || s.posted.empty()) ? 1 : 0;
}
