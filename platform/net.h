// TCP sockets (IPv4 and IPv6) for the connection server: a listening socket on all
// local addresses, non-blocking accepted connections, receive and send that
// never raise SIGPIPE, and a wait for a socket and a stop event together.
// Sockets are plain descriptors (int); -1 means none. Every call returns the
// errno value of a failure through `error` and leaves errno to the caller.
// Thread safety: the calls are safe on different sockets from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/unique_fd.h"

namespace tvl::net {

// A TCP socket with SO_REUSEADDR set (so a restarted server rebinds at once
// while old connections linger; a port another socket listens on still
// fails) and TCP_NODELAY, which the connections it accepts inherit.
// Non-blocking, close-on-exec.
int create_listen_socket(int& error);
// The same for listening on `address`: an IPv6 one ("::1") gets an IPv6
// socket for IPv6 alone, an IPv4 one an IPv4 socket, and an empty one a
// socket of both families (IPv4 clients arrive as mapped addresses), or
// IPv4 alone on a host without IPv6.
int create_listen_socket(const std::string& address, int& error);
// Binds to INADDR_ANY and the low 16 bits of port.
bool bind_any(int socket, int port, int& error);
// Binds to one local address, IPv4 in dotted decimal ("127.0.0.1") or IPv6
// ("::1") on a socket of its family; an empty address means all of them
// (bind_any, of the socket's families). A text that is no address of the
// socket's family fails with EINVAL.
bool bind_address(int socket, const std::string& address, int port, int& error);
// The local port a bound socket holds (the one the system chose for a bind
// to port 0); 0 when it holds none or it cannot be read.
int local_port(int socket);
// The system's text for an error value of these calls ("Address already in
// use"), for messages a person reads.
std::string error_text(int error);
bool start_listening(int socket, int backlog, int& error);
// Lets the listener hand over a connection only once its first bytes have
// come (TCP_DEFER_ACCEPT), so the thread that accepts finds the request
// there instead of waiting for it; a peer silent for about `seconds` is
// handed over all the same. False when the system refuses.
bool defer_accept(int socket, int seconds);
// The largest backlog worth asking for; the kernel cuts it to its own limit.
constexpr int kMaxBacklog = 65535;

enum class AcceptResult { Accepted, WouldBlock, Failed };
// Accepts one pending connection as a non-blocking, close-on-exec socket
// (with TCP_NODELAY when the listener has it). ip: "%d.%d.%d.%d" of an IPv4
// peer (a mapped one included), the usual text of an IPv6 one ("::1",
// "2001:db8::7"); raw_port: the peer port as it
// stands in the address structure (network byte order).
AcceptResult accept_connection(int listen_socket, int& socket, std::string& ip, int& raw_port,
                               int& error);

// Why a receive or a send on a connection moved nothing (its -1), or why
// the caller itself gives up on a socket call.
enum class IoFault {
  None,             // nothing went wrong (or the caller had its own reason)
  WouldBlock,       // nothing there yet / the peer's window is full: wait
  Reset,            // the peer broke the connection
  PeerClosed,       // the peer closed its end: nothing more can be sent
  Unsupported,      // the stream cannot do this
  AddressUnusable,  // the address or port cannot be listened on
  Other,            // another failure of the system; `code` tells which
};
struct IoError {
  IoFault fault = IoFault::None;
  int code = 0;  // with Other: the system's number, for error_text() only

  bool would_block() const { return fault == IoFault::WouldBlock; }
  // The system's number for the fault, for error_text() (0 with None).
  int system_code() const;
};
// The system's number for a fault that has no number of its own.
inline int system_code(IoFault fault) { return IoError{fault, 0}.system_code(); }

// One recv: >0 bytes read, 0 when the peer closed, -1 on failure (error set;
// WouldBlock when nothing is there).
long receive(int socket, char* buffer, std::size_t size, IoError& error);
// One send with MSG_NOSIGNAL: bytes accepted, or -1 (error set; WouldBlock
// when the socket buffer is full). more: the caller sends more at once
// (MSG_MORE), so these bytes may wait to share a packet with it.
long send_some(int socket, const char* data, std::size_t size, IoError& error, bool more = false);
// Up to `size` bytes of the open file `file` from `offset`, sent from the
// file's pages without passing through a buffer of ours (sendfile): bytes
// taken, 0 when the file ends at offset, or -1 (error set; WouldBlock when
// the socket buffer is full).
long send_file(int socket, int file, std::uint64_t offset, std::size_t size, IoError& error);
// One gathering send (sendmsg, MSG_NOSIGNAL) of up to kMaxSendParts pieces in
// order, as if they were one buffer: bytes accepted, or -1 (error set;
// WouldBlock when the socket buffer is full). Pieces of size 0 are allowed.
struct SendPart {
  const char* data;
  std::size_t size;
};
constexpr int kMaxSendParts = 4;
long send_parts(int socket, const SendPart* parts, int count, IoError& error);
void close_socket(int socket);
// Ends both directions of a connection without releasing the descriptor, so
// a thread waiting on it wakes up (it sees a hang-up) and closes it itself.
// Safe from any thread while the socket is open.
void shutdown_socket(int socket);

// True when a failed accept means that the process (or the system) has run
// out of descriptors.
bool out_of_descriptors(int error);

// Waits for `socket` (readable when want_read, writable when want_write) and
// for `stop_fd` (readable once the stop event is set). timeout_ms < 0 waits
// without limit.
struct WaitResult {
  int status = 0;  // 1: something happened; 0: time-out; -1: failure (error)
  bool stop = false;
  bool readable = false;  // also set for hang-up and socket errors, so the
                          // following receive reports them
  bool writable = false;
  int error = 0;
};
WaitResult wait_socket(int socket, bool want_read, bool want_write, int stop_fd, int timeout_ms);
// Waits until one of `count` (at most 4) sockets is readable (ready[i] set;
// readable in the result when any is) or stop_fd is set.
WaitResult wait_readable(const int* sockets, bool* ready, int count, int stop_fd, int timeout_ms);

// A wait for newcomers on listening sockets that several threads share.
// Each waiting thread has a ListenWait of its own on the same sockets; a new
// connection wakes one of the threads waiting at that moment rather than all
// of them (epoll with EPOLLEXCLUSIVE), and a newcomer that arrived while
// none waited is seen by the next wait. The stop event wakes every waiter.
// Thread safety: one thread uses one object; the sockets must stay open
// while it waits (closing one drops it from the wait).
class ListenWait {
 public:
  // At most 4 sockets. valid() is false (error() holds errno) when the
  // wait could not be set up.
  ListenWait(const int* sockets, int count, int stop_fd);
  bool valid() const { return fd_.valid(); }
  int error() const { return error_; }
  // As wait_readable for the sockets given at construction.
  WaitResult wait(bool* ready, int timeout_ms);

 private:
  UniqueFd fd_;
  int count_ = 0;
  int error_ = 0;
};

}  // namespace tvl::net
