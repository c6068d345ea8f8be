// The live connections of one run of the connection server: how many each
// client network holds (bounded per network), and which wait for their
// client, so that when descriptors or threads run short the server closes
// first what has waited longest of the network holding the most, and a
// newcomer is always served.
//
// Fair shares of the connections (and their threads): a network holds at
// most its bound (MaxConnectionsPerAddress). Past the server's bound
// (max_connections, MaxConnections) a newcomer takes the place of a connection that waits
// for its client: an idle kept-alive connection, an unfinished request or
// an unfinished TLS handshake (each bounded in time by itself), chosen
// from the network holding the most connections, and of those the one
// waiting longest. So a network that floods the server with silent or
// half-sent connections loses them first, and one that holds a single
// connection keeps it. The same choice makes room when accepting fails for
// want of descriptors, and when no thread can be started for a newcomer:
// then the newcomer waits (ConnectionServer's unserved queue) for the
// thread of the connection closed for it. Connections that are being
// answered (a page, a waiting message stream, a send) are never closed to
// make room; the waiting streams are bounded by the places (one per place).
//
// An entry belongs to its connection's client thread, which adds it before
// the connection's first step and removes it before releasing the
// transport; the registry only points at it in between. close_longest_idle
// aborts a transport under the registry's lock, so it never touches one that
// was already released.
// Thread safety: every member may be called from any thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/lock_annotations.h"
#include "server/transport.h"

namespace tvl {

struct LiveConnection {
  std::string address;  // the peer's address text
  // The key its bounds count (client_network of the address; a trusted
  // proxy's own address).
  std::string network;
  bool exempt = false;  // a trusted proxy: no bound per network
  Transport* transport = nullptr;
  // Monotonic milliseconds since which the connection waits for its client
  // (a TLS handshake, a request not yet complete, or the next request of a
  // kept-alive connection); 0 while it answers or sends.
  std::atomic<std::int64_t> idle_since{0};
};

class ConnectionRegistry {
 public:
  // Adds the entry unless its network already holds per_address
  // connections (0: no bound; exempt entries are never refused). False when
  // refused; nothing is kept then.
  [[nodiscard]] bool add(LiveConnection& entry, int per_address);
  // False when the entry was not registered.
  bool remove(LiveConnection& entry);
  std::size_t size() const;
  // Connections of one network right now.
  int held_by(const std::string& network) const;
  // Aborts, of the connections waiting for their client, the one waiting
  // longest among those of the network holding the most connections
  // (trusted proxies last); its own thread then closes it. False when no
  // connection is waiting.
  bool close_longest_idle();

 private:
  mutable Mutex lock_;
  std::unordered_set<LiveConnection*> entries_ GUARDED_BY(lock_);
  std::unordered_map<std::string, int> per_address_ GUARDED_BY(lock_);
};

// The memory held by unfinished requests: a bound on the total and a share
// of it per client network (the `address` arguments are network keys). Charges and releases come only from requests that do
// not complete in their first packet, so one lock serves them.
// Thread safety: every member may be called from any thread.
class PendingPool {
 public:
  // Adds `more` bytes for the address; false (nothing added) when the total
  // would pass total_bound or the address its share (0: no share of its
  // own; exempt addresses have none).
  [[nodiscard]] bool charge(const std::string& address, bool exempt, std::size_t more,
                            std::size_t total_bound, std::size_t share);
  void release(const std::string& address, std::size_t bytes);
  std::size_t total() const { return total_.load(); }

 private:
  Mutex lock_;  // also taken for the writes of total_
  std::atomic<std::size_t> total_{0};
  std::unordered_map<std::string, std::size_t> per_address_ GUARDED_BY(lock_);
};

}  // namespace tvl
