// The bounds of the connection server: how long a connection may take for
// each step, how much memory unfinished requests may hold, and the sizes a
// client thread works with. Every constant that bounds a connection lives
// here, each with the reason for its value.
//
// ConnectionLimits carries the bounds that tests and benches shorten; a
// server takes a copy at Run (ConnectionServer::set_limits), so a change
// never reaches a running server. The bounds per address count the peer's
// client network (an IPv4 address, an IPv6 /64 by default); trusted
// reverse proxies, behind which every visitor has the same address, are
// exempt from them. Tests and benches that run many clients from
// loopback lift them (0 = no bound).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace tvl {

// A request must be complete this long after its first byte. Browsers send
// a whole request at once; only a client that trickles bytes on purpose
// needs longer, and it would otherwise keep a thread for ever.
inline constexpr int kRequestTimeMs = 30 * 1000;

// A kept-alive (or new) connection that sends no byte for this long is
// closed. The shipped chat pages poll every 2 s, so only a connection that
// nobody uses any more stays silent this long.
inline constexpr int kIdleTimeMs = 120 * 1000;

// An answer that makes no progress for this long ends the connection: a
// reader that never reads would otherwise keep the answer in memory (and its
// thread) for ever. A live but slow reader always takes something in a
// minute.
inline constexpr int kSendStallMs = 60 * 1000;

// A single request larger than this is refused by closing the connection:
// the largest request the chat knows (a posted line with its header) is a
// small fraction of it.
inline constexpr std::size_t kMaxRequestBytes = std::size_t(1) << 20;

// Memory held by unfinished requests over all connections together
// (MaxPendingKB; 0 lifts it and the share below). Past
// it, the connection whose request grows is closed, so 3,000 clients that
// each send most of a large request cannot pin gigabytes; 64 connections
// at the per-request maximum fit, thousands of ordinary ones many times.
inline constexpr std::size_t kMaxPendingBytes = std::size_t(64) << 20;

// The first receive of a request takes at most this much, into a buffer on
// the client thread's stack: every request a browser sends to the chat but
// a long post fits. A sleeping thread keeps every stack page its receives
// have touched, so this is kept small; the rest of a longer request is
// received straight into the request text, kGrowBytes at a time, where it
// is counted toward kMaxPendingBytes.
inline constexpr std::size_t kReceiveBytes = 4 * 1024;
inline constexpr std::size_t kGrowBytes = 64 * 1024;

// Connections one address may hold at once: enough for every tab of a
// household behind one router many times over, far from the thousands one
// client would need to exhaust the server's descriptors.
inline constexpr int kConnectionsPerAddress = 256;

// One address may hold at most this share of the memory for unfinished
// requests, so a few dozen half-sent requests of one client leave the
// bound for everyone else.
inline constexpr std::size_t kPendingShareDivisor = 8;

// Descriptors kept back from connections for the files page handlers open,
// the log, the listeners and the waits of the threads waiting for a
// newcomer (at most 64): the server closes the longest-idle kept-alive
// connections first once connections would take more.
inline constexpr long kSpareDescriptors = 128;

// Over TLS a large file goes out from the file in pieces of this size, each
// read while the peer takes the one before (a plain connection sends it
// straight from the file and holds no piece).
inline constexpr std::size_t kStreamChunkBytes = 64 * 1024;

// Answers are written in chunks of at most this size.
inline constexpr std::size_t kSendChunkBytes = 200000;

// Stack of a client thread. The deepest a client thread goes is a page
// handler reading a file through a 64 KiB buffer; 256 KiB leaves more than
// twice that free. Only touched pages cost memory,
// and a small stack keeps each idle connection's address space small, so
// ten thousands of them fit easily.
inline constexpr std::size_t kClientStackBytes = 256 * 1024;

// A request or answer text that grew past these is given back after its
// answer, so an idle kept-alive connection does not keep the memory of its
// largest exchange.
inline constexpr std::size_t kKeepRequestBytes = 16 * 1024;
inline constexpr std::size_t kKeepResponseBytes = 64 * 1024;

// Programs that run the server have every allocation of at least this size
// mapped on its own and returned to the system when freed, so resident
// memory follows the bound on unfinished requests instead of keeping the
// high-water mark of the largest ones (platform/memory.h). Smaller blocks,
// the bulk of ordinary requests and pages, stay in the allocator's pools.
inline constexpr std::size_t kOwnBlockBytes = 32 * 1024;

// After the server has stopped, how long a program that ends waits for
// client threads still inside a page handler. Every other client thread
// ends as soon as it sees the stop; one that is still working after this
// is not waited for, so a stop request ends the program within a few
// seconds whatever the load.
inline constexpr int kStopClientsMs = 3000;

struct ConnectionLimits {
  int request_ms = kRequestTimeMs;
  int idle_ms = kIdleTimeMs;
  int send_stall_ms = kSendStallMs;
  std::size_t request_bytes = kMaxRequestBytes;
  std::size_t pending_bytes = kMaxPendingBytes;
  // Share of pending_bytes one address may hold (0: no share of its own).
  std::size_t pending_bytes_per_address = kMaxPendingBytes / kPendingShareDivisor;
  // Connections one address may hold (0: no bound); further ones are closed
  // at once.
  int connections_per_address = kConnectionsPerAddress;
  // Connections (and so client threads) the server keeps before it closes
  // the longest-waiting ones for a newcomer (MaxConnections); never more
  // than the descriptor limit less kSpareDescriptors, which alone bounds
  // them at 0.
  long max_connections = 0;
  // Client threads the server starts at most (0: as many as the system
  // gives). Past it a newcomer is handled as when the system has no thread
  // to give: a connection waiting for its client is closed and its thread
  // serves the newcomer next. Tests set it to play a host short of threads.
  std::size_t client_threads = 0;
  // Peer addresses or networks exempt from the bounds per network (trusted
  // proxies; entries as in storage/ip_list.h).
  std::vector<std::string> exempt_addresses;
  // Leading bits of a peer address that make one client network, the key
  // of every bound per network (storage/client_network.h).
  int network_prefix_v4 = 32;
  int network_prefix_v6 = 64;
};

}  // namespace tvl
