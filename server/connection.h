// One accepted connection, run on its client thread from its first byte to
// its close. A connection is in one of three states:
//
//   Receiving  waiting for, or gathering, the next request; a complete one
//              is answered at once (the hook runs on this thread, as long
//              as the page needs), and its answer sent as far as the peer
//              takes it
//   Sending    part of an answer waits for the peer to take it; bytes that
//              arrive meanwhile wait behind it in the request buffer
//   Live       a live answer (an event stream) is under way: the thread
//              waits in the stream's source for its next piece, which is
//              then sent as an answer is (Sending), and comes back here
//   Closed     the connection ends
//
// Requests are answered in order, every complete one on the connection:
// bytes past the end of a request (pipelined requests, however they were
// split into packets) stay in the buffer for the next one. A kept-alive
// connection goes back to Receiving after each answer.
//
// Every state has one deadline, which is the time-out of the wait the
// thread makes anyway: the first byte of a request (idle_ms), the rest of it
// (request_ms after its first byte), or progress of a pending answer
// (send_stall_ms after the last). Passing it closes the connection without
// an answer, as does the stop event.
//
// Lifetime: created and run on the client thread; the host, the transport
// and the registry entry outlive it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "server/answer.h"
#include "server/connection_limits.h"
#include "server/connection_registry.h"
#include "server/transport.h"

namespace tvl {

// What a connection needs of its server. Called on the client thread.
class ConnectionHost {
 public:
  // Length of the complete request at the start of `buffer`; 0 while it is
  // incomplete.
  virtual std::size_t request_length(const std::string& buffer) = 0;
  // The request hook: the answer to `request`, which came from `ip` (over
  // TLS when `secure`).
  virtual Answer handle_request(const std::string& ip, std::string_view request, bool secure) = 0;
  virtual void answer_sent(std::size_t count) = 0;
  virtual void report(const char* message, const char* operation, int code) = 0;
  virtual PendingPool& pending() = 0;
  // Adds (or, negative, removes) bytes a connection holds for answers.
  virtual void count_answer_bytes(long long change) = 0;

 protected:
  ~ConnectionHost() = default;
};

struct ConnectionSetup {
  const ConnectionLimits* limits = nullptr;
  int stop_fd = -1;
  // Longest wait without network activity (the time-out of Run); -1: none.
  int activity_ms = -1;
  // The connection came to the TLS port.
  bool secure = false;
};

class Connection final : public LiveOutlet {
 public:
  Connection(ConnectionHost& host, const ConnectionSetup& setup, Transport& transport,
             LiveConnection& entry);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Serves the connection until it closes. True when it ended quietly (a
  // deadline, the stop event, the peer's close after its last answer),
  // false after a failure the server reports.
  bool run();

  // The live stream's writes from other threads (see LiveOutlet).
  long send_now(std::string_view data) override;

 private:
  enum class State { Receiving, Sending, Live, Closed };
  // What a wait brought.
  enum class Wake { Ready, Expired, Stopped, Failed };

  Wake wait(net::WaitResult& result);
  void on_readable();
  long receive();
  void answer_buffered();
  void answer(std::size_t length);
  void send_pending();
  long send_next(net::IoError& error);
  long send_from_file(net::IoError& error);
  bool refill_chunk();
  void finish_answer();
  void next_live();
  bool peer_gone();
  void wait_for_next_request();
  bool charge_buffer();
  void release_buffer();
  void recount_answer_bytes();
  void close(bool quiet);

  ConnectionHost& host_;
  const ConnectionLimits& limits_;
  const ConnectionSetup setup_;
  Transport& transport_;
  LiveConnection& entry_;

  State state_ = State::Receiving;
  bool quiet_ = true;
  bool peer_closed_ = false;  // the peer sent its last byte
  bool keep_alive_ = false;
  std::int64_t deadline_ = 0;
  std::int64_t idle_since_ = 0;  // start of the wait for the next request

  // Bytes received and not yet answered: the next request and whatever
  // follows it.
  std::string buffer_;
  std::size_t charged_ = 0;  // of buffer_, counted in the pending pool

  std::string response_;
  std::shared_ptr<const std::string> body_;  // shared body after response_
  std::unique_ptr<AnswerStream> stream_;     // or a body sent in pieces
  std::unique_ptr<LiveStream> live_;         // or a live answer after the header
  bool live_more_ = false;                   // the live answer has not ended
  std::unique_ptr<char[]> chunk_;            // the piece of stream_ in hand
  std::uint64_t chunk_start_ = 0;
  std::size_t chunk_size_ = 0;
  std::size_t sent_ = 0;  // of response_ and the body together
  long long counted_answer_ = 0;
};

}  // namespace tvl
