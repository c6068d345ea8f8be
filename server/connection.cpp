#include "server/connection.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace tvl {

namespace {

// Milliseconds of the monotonic clock (read without a system call).
std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}


}  // namespace

Connection::Connection(ConnectionHost& host, const ConnectionSetup& setup, Transport& transport,
                       LiveConnection& entry)
    : host_(host), limits_(*setup.limits), setup_(setup), transport_(transport), entry_(entry) {}

Connection::~Connection() {
  release_buffer();
  if (counted_answer_ != 0) host_.count_answer_bytes(-counted_answer_);
  entry_.idle_since.store(0);
}

bool Connection::run() {
  wait_for_next_request();
  // A client usually sends its request right after connecting, so it is
  // often there by the time this thread runs: the first receive is tried
  // before any wait, which saves a poll per connection (nothing there yet
  // is a plain WouldBlock).
  on_readable();
  while (state_ != State::Closed) {
    if (state_ == State::Live) {
      next_live();
      continue;
    }
    net::WaitResult w;
    switch (wait(w)) {
      case Wake::Expired:  // too slow a request, too long a silence or a stalled answer
      case Wake::Stopped:
        close(true);
        continue;
      case Wake::Failed:
        host_.report("WSAWaitForMultipleEvents(...) failure", "ClientThread", w.error);
        close(false);
        continue;
      case Wake::Ready:
        break;
    }
    if (w.readable && !peer_closed_) on_readable();
    if (state_ == State::Sending && (w.writable || peer_closed_)) {
      send_pending();
      // Requests that came with or during the answer are next.
      if (state_ == State::Receiving) answer_buffered();
    }
  }
  return quiet_;
}

Connection::Wake Connection::wait(net::WaitResult& w) {
  // A connection that waits for its client (nothing of a request yet, or
  // a request not yet complete) is one the server may close to make room;
  // idle_since_ is when that wait began.
  entry_.idle_since.store(state_ == State::Receiving ? idle_since_ : 0, std::memory_order_relaxed);
  for (;;) {
    const std::int64_t left = deadline_ - now_ms();
    if (left <= 0) return Wake::Expired;
    int timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    bool activity_cut = false;
    if (setup_.activity_ms >= 0 && setup_.activity_ms <= timeout) {
      timeout = setup_.activity_ms;
      activity_cut = true;
    }
    w = transport_.wait(!peer_closed_, state_ == State::Sending, setup_.stop_fd, timeout);
    if (w.status < 0) return Wake::Failed;
    if (w.stop) return Wake::Stopped;
    if (w.status > 0) return Wake::Ready;
    // A time-out before the deadline is the time-out of Run; otherwise the
    // deadline is checked again (the clock may have lagged the wait).
    if (activity_cut) return Wake::Expired;
  }
}

void Connection::on_readable() {
  const long n = receive();
  if (state_ == State::Closed) return;
  if (n > 0) {
    if (state_ == State::Receiving) {
      answer_buffered();
    } else if (!charge_buffer()) {
      // Bytes that come while an answer is pending count like any
      // unfinished request.
      close(false);
    }
  } else if (n == 0) {
    // The peer closed. An answer already under way is finished first.
    peer_closed_ = true;
    if (state_ == State::Receiving) close(false);
  }
}

long Connection::receive() {
  net::IoError error;
  long n;
  if (buffer_.empty() || state_ == State::Sending) {
    // Most requests fit a small receive on the stack; a sleeping thread
    // keeps every stack page its receives have touched, so it stays small.
    char first[kReceiveBytes];
    n = transport_.receive(first, sizeof first, error);
    if (n > 0) buffer_.append(first, static_cast<std::size_t>(n));
  } else {
    // The rest of an unfinished request goes straight into its text, so it
    // is held once, where it is counted.
    const std::size_t had = buffer_.size();
    buffer_.resize(had + kGrowBytes);
    n = transport_.receive(buffer_.data() + had, kGrowBytes, error);
    buffer_.resize(had + static_cast<std::size_t>(std::max(n, 0L)));
  }
  if (n < 0 && !error.would_block()) {
    // A failed receive on a stream socket means the connection is broken
    // (reset); waiting on it again would spin.
    host_.report("WSARecv(...) failure", "ClientThread", error.system_code());
    close(false);
  }
  return n;
}

// Answers every complete request at the start of the buffer, in order, for
// as long as the answers go out at once.
void Connection::answer_buffered() {
  while (state_ == State::Receiving && !buffer_.empty()) {
    const std::size_t length = host_.request_length(buffer_);
    if (length == 0) {
      const bool first_bytes = charged_ == 0;
      // Gathering without end would exhaust memory: this request, its
      // address and all unfinished ones together may hold only so much.
      if (!charge_buffer()) {
        close(false);
        return;
      }
      if (first_bytes) deadline_ = now_ms() + limits_.request_ms;
      return;
    }
    answer(std::min(length, buffer_.size()));
  }
  if (state_ == State::Receiving && peer_closed_) close(false);
}

void Connection::answer(std::size_t length) {
  // Busy from here on, however long the page takes (a poll may wait on its
  // connection): never the one closed to make room.
  entry_.idle_since.store(0, std::memory_order_relaxed);
  Answer got = host_.handle_request(
      entry_.address, std::string_view(buffer_).substr(0, length), setup_.secure);
  if (length == buffer_.size())
    buffer_.clear();
  else
    buffer_.erase(0, length);
  if (!got.send) {
    close(false);
    return;
  }
  response_ = std::move(got.text);
  body_ = std::move(got.body);
  stream_ = std::move(got.stream);
  live_ = std::move(got.live);
  live_more_ = live_ != nullptr;
  if (live_ && transport_.sends_from_any_thread()) live_->attach(*this);
  // A live answer has no length: its end is the connection's close.
  keep_alive_ = got.keep_alive && !live_;
  release_buffer();
  if (!buffer_.empty() && !charge_buffer()) {
    close(false);
    return;
  }
  sent_ = 0;
  recount_answer_bytes();
  state_ = State::Sending;
  deadline_ = now_ms() + limits_.send_stall_ms;
  send_pending();
}

void Connection::send_pending() {
  const std::size_t head = response_.size();
  const std::size_t total =
      head + (body_ ? body_->size() : stream_ ? static_cast<std::size_t>(stream_->size()) : 0);
  const std::size_t before = sent_;
  while (sent_ < total) {
    net::IoError error;
    const long n = send_next(error);
    if (n < 0) {
      if (error.would_block()) {
        // The stall clock restarts with each progress; a wake-up that moved
        // nothing leaves it running.
        if (sent_ != before) deadline_ = now_ms() + limits_.send_stall_ms;
        return;
      }
      if (error.fault != net::IoFault::None)
        host_.report("WSASend(...) failure", "ClientThread, Primary Send", error.system_code());
      keep_alive_ = false;
      close(false);
      return;
    }
    sent_ += static_cast<std::size_t>(n);
  }
  finish_answer();
}

// One gathering send of what comes next: the rest of the header text, then
// the body, at most kSendChunkBytes at a time. No fault with -1: the stream
// could not be read.
long Connection::send_next(net::IoError& error) {
  if (stream_ && stream_->file() >= 0 && transport_.sends_files()) return send_from_file(error);
  net::SendPart parts[2];
  int count = 0;
  std::size_t room = kSendChunkBytes;
  const std::size_t head = response_.size();
  if (sent_ < head) {
    const std::size_t part = std::min(head - sent_, room);
    parts[count++] = {response_.data() + sent_, part};
    room -= part;
  }
  const std::size_t from = sent_ > head ? sent_ - head : 0;
  if (room > 0 && body_) {
    const std::size_t part = std::min(body_->size() - from, room);
    if (part > 0) parts[count++] = {body_->data() + from, part};
  } else if (room > 0 && stream_ && from < stream_->size()) {
    if (from >= chunk_start_ + chunk_size_ || from < chunk_start_) {
      chunk_start_ = from;
      if (!refill_chunk()) {
        error = {};
        return -1;
      }
    }
    const std::size_t at = static_cast<std::size_t>(from - chunk_start_);
    const std::size_t part = std::min(chunk_size_ - at, room);
    parts[count++] = {chunk_.get() + at, part};
  }
  return transport_.send(parts, count, error);
}

// The same for a stream on an open file and a transport that sends from
// files: the body goes from the file's pages, with no piece in hand.
long Connection::send_from_file(net::IoError& error) {
  const std::size_t head = response_.size();
  const std::size_t head_left = sent_ < head ? head - sent_ : 0;
  const std::uint64_t from = sent_ > head ? sent_ - head : 0;
  const std::size_t part =
      static_cast<std::size_t>(std::min<std::uint64_t>(stream_->size() - from, kSendChunkBytes));
  const long n = transport_.send_file(response_.data() + std::min(sent_, head), head_left,
                                      stream_->file(), stream_->file_offset() + from, part, error);
  if (n == 0 && part > 0 && head_left == 0) {
    error = {};  // the file ends before the header's count
    return -1;
  }
  return n;
}

// Reads the piece of the stream that starts at chunk_start_. False when
// nothing could be read: the header promised more than the source holds.
bool Connection::refill_chunk() {
  if (!chunk_) {
    chunk_ = std::make_unique<char[]>(kStreamChunkBytes);
    recount_answer_bytes();
  }
  const std::uint64_t left = stream_->size() - chunk_start_;
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(left, kStreamChunkBytes));
  const long n = stream_->read_at(chunk_start_, chunk_.get(), want);
  chunk_size_ = n > 0 ? static_cast<std::size_t>(n) : 0;
  return chunk_size_ > 0;
}

void Connection::finish_answer() {
  // The file cache may let a shared body go; an idle connection holds none.
  body_.reset();
  stream_.reset();
  chunk_.reset();
  chunk_size_ = 0;
  chunk_start_ = 0;
  host_.answer_sent(sent_);
  if (live_more_) {
    state_ = State::Live;
    return;
  }
  if (!keep_alive_) {
    close(false);
    return;
  }
  if (response_.capacity() > kKeepResponseBytes) std::string().swap(response_);
  recount_answer_bytes();
  // The caller answers what the buffer already holds.
  wait_for_next_request();
}

// One piece of a live answer: the source blocks until it has one, and it is
// sent like an answer. A peer that has gone ends the stream first: its
// source would otherwise hold the thread until the next piece fails.
void Connection::next_live() {
  if (peer_gone()) {
    close(true);
    return;
  }
  response_.clear();
  live_more_ = live_->next(response_);
  sent_ = 0;
  recount_answer_bytes();
  state_ = State::Sending;
  deadline_ = now_ms() + limits_.send_stall_ms;
  send_pending();  // back to Live, or closed after the last piece
}

long Connection::send_now(std::string_view data) {
  const net::SendPart part{data.data(), data.size()};
  net::IoError error;
  const long n = transport_.send(&part, 1, error);
  if (n >= 0) return n;
  return error.would_block() ? 0 : -1;
}

// Whether the peer has closed (or broken) the connection, looked at without
// waiting. Bytes it sends meanwhile are kept like any (bounded) request.
bool Connection::peer_gone() {
  if (peer_closed_) return true;
  const net::WaitResult w = transport_.wait(true, false, setup_.stop_fd, 0);
  if (w.status < 0 || w.stop) return true;
  if (w.readable) on_readable();
  return peer_closed_ || state_ == State::Closed;
}

void Connection::wait_for_next_request() {
  state_ = State::Receiving;
  idle_since_ = now_ms();
  if (buffer_.empty()) {
    if (buffer_.capacity() > kKeepRequestBytes) std::string().swap(buffer_);
    deadline_ = idle_since_ + limits_.idle_ms;
  } else {
    // Bytes of the next request came with or during the answer.
    deadline_ = idle_since_ + limits_.request_ms;
  }
}

bool Connection::charge_buffer() {
  if (buffer_.size() > limits_.request_bytes) return false;
  const std::size_t held = buffer_.capacity();
  if (held <= charged_) return true;
  const std::size_t more = held - charged_;
  if (!host_.pending().charge(entry_.network, entry_.exempt, more, limits_.pending_bytes,
                              limits_.pending_bytes_per_address))
    return false;
  charged_ = held;
  return true;
}

void Connection::release_buffer() {
  host_.pending().release(entry_.network, charged_);
  charged_ = 0;
}

void Connection::recount_answer_bytes() {
  const long long now = static_cast<long long>(response_.capacity()) +
                        static_cast<long long>(chunk_ ? kStreamChunkBytes : 0);
  if (now != counted_answer_) host_.count_answer_bytes(now - counted_answer_);
  counted_answer_ = now;
}

void Connection::close(bool quiet) {
  state_ = State::Closed;
  quiet_ = quiet;
}

}  // namespace tvl
