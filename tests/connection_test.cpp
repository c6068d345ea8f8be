// One Connection driven through a scripted transport and host, without
// sockets or threads: how bytes that arrive in pieces become requests, how
// pipelined requests are answered in order, what a peer that closes or a
// send that stalls does to the connection, and how an answer's text, shared
// body and stream go out.
#include "server/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tvl {
namespace {

// A byte stream the test scripts: `incoming` arrives one piece per
// receive (a receive takes at most what it asks for), `window` bytes may be
// sent before the peer's window is full, and `between` runs whenever the
// connection waits and nothing is ready (it may deliver more, open the
// window or close the peer). With nothing ready after it, a wait lets a
// little time pass, so deadlines expire.
class ScriptedTransport final : public Transport {
 public:
  std::deque<std::string> incoming;
  bool peer_closed = false;  // once `incoming` is empty, a receive gives 0
  net::IoFault receive_fault = net::IoFault::None;  // when set, every receive fails with it
  std::size_t window = static_cast<std::size_t>(-1);
  std::function<void(ScriptedTransport&)> between;
  std::string sent;
  int sends = 0;

  long receive(char* buffer, std::size_t size, net::IoError& error) override {
    if (receive_fault != net::IoFault::None) {
      error = {receive_fault, 0};
      return -1;
    }
    if (incoming.empty()) {
      if (peer_closed) return 0;
      error = {net::IoFault::WouldBlock, 0};
      return -1;
    }
    std::string& piece = incoming.front();
    const std::size_t n = std::min(size, piece.size());
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) incoming.pop_front();
    return static_cast<long>(n);
  }

  long send(const net::SendPart* parts, int count, net::IoError& error) override {
    ++sends;
    std::size_t taken = 0;
    for (int i = 0; i < count && window > 0; ++i) {
      const std::size_t n = std::min(parts[i].size, window);
      sent.append(parts[i].data, n);
      window -= n;
      taken += n;
      if (n < parts[i].size) break;
    }
    if (taken == 0) {
      error = {net::IoFault::WouldBlock, 0};
      return -1;
    }
    return static_cast<long>(taken);
  }

  net::WaitResult wait(bool want_read, bool want_write, int, int timeout_ms) override {
    net::WaitResult w;
    if (!ready(want_read, want_write) && between) between(*this);
    w.readable = want_read && (!incoming.empty() || peer_closed || receive_fault != net::IoFault::None);
    w.writable = want_write && window > 0;
    if (w.readable || w.writable) {
      w.status = 1;
      return w;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 5)));
    return w;  // a time-out
  }

  void abort() override { peer_closed = true; }
  void close() override {}

 private:
  bool ready(bool want_read, bool want_write) const {
    return (want_read && (!incoming.empty() || peer_closed || receive_fault != net::IoFault::None)) ||
           (want_write && window > 0);
  }
};

// A request ends after "END"; the answer is "A:" and the request, keeping
// the connection, unless `answer` says otherwise.
class RecordingHost final : public ConnectionHost {
 public:
  std::function<Answer(const std::string& request)> answer = [](const std::string& request) {
    Answer a;
    a.text = "A:" + request;
    a.keep_alive = true;
    return a;
  };
  std::vector<std::string> requests;
  std::vector<bool> secure;
  std::vector<std::size_t> answers_sent;
  std::vector<std::string> reports;
  std::vector<int> codes;
  PendingPool pool;
  long long answer_bytes = 0;

  std::size_t request_length(const std::string& buffer) override {
    const std::size_t at = buffer.find("END");
    return at == std::string::npos ? 0 : at + 3;
  }
  Answer handle_request(const std::string&, std::string_view request, bool on_tls) override {
    requests.emplace_back(request);
    secure.push_back(on_tls);
    return answer(requests.back());
  }
  void answer_sent(std::size_t count) override { answers_sent.push_back(count); }
  void report(const char* message, const char*, int code) override {
    reports.emplace_back(message);
    codes.push_back(code);
  }
  PendingPool& pending() override { return pool; }
  void count_answer_bytes(long long change) override { answer_bytes += change; }
};

// A body read from memory in pieces, as a file's would be.
class MemoryStream final : public AnswerStream {
 public:
  explicit MemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  long read_at(std::uint64_t offset, char* buffer, std::size_t size) override {
    if (offset >= bytes_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(size, bytes_.size() - offset);
    std::memcpy(buffer, bytes_.data() + offset, n);
    return static_cast<long>(n);
  }

 private:
  std::string bytes_;
};

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    limits.idle_ms = 2000;
    limits.request_ms = 2000;
    limits.send_stall_ms = 2000;
    entry.address = "10.0.0.7";
  }

  // Serves the connection until it closes; what run() says.
  bool serve(bool secure = false) {
    ConnectionSetup setup;
    setup.limits = &limits;
    setup.secure = secure;
    Connection connection(host, setup, transport, entry);
    return connection.run();
  }

  // Hands out the pieces one per wait, then closes the peer.
  void arrive_in_pieces(std::vector<std::string> pieces) {
    auto left = std::make_shared<std::deque<std::string>>(pieces.begin(), pieces.end());
    transport.between = [left](ScriptedTransport& t) {
      if (left->empty()) {
        t.peer_closed = true;
        return;
      }
      t.incoming.push_back(left->front());
      left->pop_front();
    };
  }

  ConnectionLimits limits;
  LiveConnection entry;
  ScriptedTransport transport;
  RecordingHost host;
};

// --- receiving -----------------------------------------------------------

TEST_F(ConnectionTest, RequestInPiecesIsAnsweredOnceWhole) {
  arrive_in_pieces({"GE", "T /", std::string("x\0", 2), "E", "ND"});
  serve();
  ASSERT_EQ(host.requests.size(), 1u);
  EXPECT_EQ(host.requests[0], std::string("GET /x\0END", 10));
  EXPECT_EQ(transport.sent, "A:" + host.requests[0]);
  EXPECT_EQ(host.answers_sent, (std::vector<std::size_t>{transport.sent.size()}));
  EXPECT_EQ(host.pool.total(), 0u);  // nothing of the request is still counted
}

TEST_F(ConnectionTest, PipelinedRequestsAreAnsweredInOrderHoweverSplit) {
  transport.incoming = {"aENDbENDcE", "NDd"};
  arrive_in_pieces({"END"});
  serve();
  EXPECT_EQ(host.requests, (std::vector<std::string>{"aEND", "bEND", "cEND", "dEND"}));
  EXPECT_EQ(transport.sent, "A:aENDA:bENDA:cENDA:dEND");
  EXPECT_EQ(host.answers_sent.size(), 4u);
}

TEST_F(ConnectionTest, SecureConnectionTellsEveryRequest) {
  transport.incoming = {"aENDbEND"};
  transport.peer_closed = true;
  serve(true);
  EXPECT_EQ(host.secure, (std::vector<bool>{true, true}));
}

// --- the peer closes -----------------------------------------------------

TEST_F(ConnectionTest, PeerThatClosesMidRequestGetsNothing) {
  transport.incoming = {"half a requ"};
  transport.peer_closed = true;
  serve();
  EXPECT_TRUE(host.requests.empty());
  EXPECT_TRUE(transport.sent.empty());
  EXPECT_EQ(host.pool.total(), 0u);
}

TEST_F(ConnectionTest, AnswerUnderWayIsFinishedAfterThePeerCloses) {
  transport.incoming = {"xEND"};
  transport.peer_closed = true;
  transport.window = 3;
  // The peer takes three bytes at a time, as its window opens.
  transport.between = [](ScriptedTransport& t) { t.window = 3; };
  serve();
  EXPECT_EQ(transport.sent, "A:xEND");
  EXPECT_EQ(host.answers_sent, (std::vector<std::size_t>{6}));
}

TEST_F(ConnectionTest, BrokenReceiveIsReportedAndCloses) {
  transport.receive_fault = net::IoFault::Reset;
  EXPECT_FALSE(serve());
  EXPECT_EQ(host.reports, (std::vector<std::string>{"WSARecv(...) failure"}));
  ASSERT_EQ(host.codes.size(), 1u);
  EXPECT_EQ(host.codes[0], ECONNRESET);  // told as the system tells a reset
  EXPECT_TRUE(host.requests.empty());
}

// --- answering -----------------------------------------------------------

TEST_F(ConnectionTest, AnswerThatClosesEndsTheConnectionAfterItsBytes) {
  host.answer = [](const std::string& request) {
    Answer a;
    a.text = "bye:" + request;
    return a;  // keep_alive false
  };
  transport.incoming = {"oneENDtwoEND"};
  serve();
  EXPECT_EQ(host.requests, (std::vector<std::string>{"oneEND"}));
  EXPECT_EQ(transport.sent, "bye:oneEND");
}

TEST_F(ConnectionTest, NoAnswerClosesWithoutAByteAndDropsItsBody) {
  host.answer = [](const std::string&) {
    Answer a = Answer::none();
    a.body = std::make_shared<const std::string>("stale");
    return a;
  };
  transport.incoming = {"xENDyEND"};
  EXPECT_FALSE(serve());
  EXPECT_EQ(host.requests.size(), 1u);
  EXPECT_TRUE(transport.sent.empty());
  EXPECT_TRUE(host.answers_sent.empty());
}

TEST_F(ConnectionTest, SharedBodyAndStreamFollowTheTextInOrder) {
  const std::string big(3 * kSendChunkBytes + 11, 'b');
  const std::string streamed(2 * kStreamChunkBytes + 5, 's');
  host.answer = [&](const std::string& request) {
    Answer a;
    a.keep_alive = true;
    a.text = "H:" + request + "|";
    if (request == "bodyEND") a.body = std::make_shared<const std::string>(big);
    else a.stream = std::make_unique<MemoryStream>(streamed);
    return a;
  };
  transport.incoming = {"bodyENDstreamEND"};
  transport.peer_closed = true;
  serve();
  EXPECT_TRUE(transport.sent == "H:bodyEND|" + big + "H:streamEND|" + streamed);
  EXPECT_EQ(host.answers_sent,
            (std::vector<std::size_t>{10 + big.size(), 12 + streamed.size()}));
  EXPECT_EQ(host.answer_bytes, 0);  // nothing is held once the connection ends
}

TEST_F(ConnectionTest, RequestsThatArriveDuringASlowAnswerWaitTheirTurn) {
  host.answer = [](const std::string& request) {
    Answer a;
    a.keep_alive = true;
    a.text = std::string(100, request[0]);
    return a;
  };
  transport.incoming = {"aEND"};
  transport.window = 10;
  int round = 0;
  transport.between = [&round](ScriptedTransport& t) {
    // The next request comes while the first answer is still going out.
    if (round++ == 1) t.incoming.push_back("bEND");
    if (round > 40) t.peer_closed = true;
    t.window = 10;
  };
  serve();
  EXPECT_EQ(host.requests, (std::vector<std::string>{"aEND", "bEND"}));
  EXPECT_EQ(transport.sent, std::string(100, 'a') + std::string(100, 'b'));
}

// --- bounds --------------------------------------------------------------

TEST_F(ConnectionTest, SendThatStallsEndsTheConnection) {
  limits.send_stall_ms = 30;
  transport.incoming = {"xEND"};
  transport.window = 2;  // and never again
  serve();
  EXPECT_EQ(transport.sent, "A:");
  EXPECT_TRUE(host.answers_sent.empty());
}

TEST_F(ConnectionTest, RequestOverItsBoundClosesWithoutAnswer) {
  limits.request_bytes = 16;
  transport.incoming = {std::string(40, 'x')};
  arrive_in_pieces({"END"});
  EXPECT_FALSE(serve());
  EXPECT_TRUE(host.requests.empty());
  EXPECT_TRUE(transport.sent.empty());
  EXPECT_EQ(host.pool.total(), 0u);
}

TEST_F(ConnectionTest, SilentPeerIsClosedAtTheIdleDeadline) {
  limits.idle_ms = 20;
  EXPECT_TRUE(serve());  // a deadline is a quiet end
  EXPECT_TRUE(host.requests.empty());
}

}  // namespace
}  // namespace tvl
