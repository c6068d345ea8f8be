// The client threads of a ConnectionServer: admitting an accepted
// connection, serving it, and waiting on the listeners for the next one.
#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <string>

#include "server/connection_run.h"
#include "storage/client_network.h"

namespace tvl {

// A newcomer past max_connections takes the place of the connection that
// has waited longest for a request.
void ConnectionServer::Impl::make_room(RunBlock& block) {
  if (static_cast<long>(block.registry.size()) >= block.max_connections)
    (void)block.registry.close_longest_idle();  // none idle: all are served
}

std::shared_ptr<Client> ConnectionServer::Impl::admit(RunBlock& block, int socket,
                                                      const std::string& ip, int port,
                                                      bool secure) {
  self.OnConnect(ip, port);
  // The entry is in the registry before the connection is served, so its
  // thread always finds it, and a connection over its address's bound is
  // closed here without costing a thread.
  auto client = std::make_shared<Client>(socket, secure ? block.tls.get() : nullptr);
  client->entry.address = ip;
  client->entry.exempt = block.exempt(ip);
  client->entry.network = client->entry.exempt ? ip
                                               : client_network(ip, block.limits.network_prefix_v4,
                                                                block.limits.network_prefix_v6);
  // Until its first request a connection waits for its client (over TLS,
  // for the handshake): one the server may close to make room.
  client->entry.idle_since.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  client->entry.transport = client->transport.get();
  if (!block.registry.add(client->entry, block.limits.connections_per_address)) {
    client->transport->close();
    return nullptr;
  }
  serving.fetch_add(1);
  return client;
}

int ConnectionServer::Impl::add_client(const std::shared_ptr<RunBlock>& block, int socket,
                                       const std::string& ip, int port, bool secure) {
  std::shared_ptr<Client> client = admit(*block, socket, ip, port, secure);
  if (!client) return 1;
  int error = net::system_code(net::IoFault::WouldBlock);  // when no thread may be added
  const std::size_t thread_bound = block->limits.client_threads;
  bool started =
      (thread_bound == 0 || static_cast<std::size_t>(clients.busy()) < thread_bound) &&
      clients.run([this, block, client] { serve_and_wait(block, client); }, &error);
  if (!started) {
    report("_beginthreadex(...) failure", "AddClient", error);
    // Out of threads: a connection waiting for its client makes room, and
    // its thread serves this one next. Queued first, so that thread cannot
    // look before it is there.
    client->entry.idle_since.store(0);
    {
      MutexLock hold(block->unserved_lock);
      block->unserved.push_back(client);
    }
    if (!block->registry.close_longest_idle() && block->take_back(client)) drop(*block, *client);
  }
  return 1;
}

void ConnectionServer::Impl::drop(RunBlock& block, Client& client) {
  (void)block.registry.remove(client.entry);
  client.transport->close();
  serving.fetch_sub(1);
}

void ConnectionServer::Impl::serve_unserved(RunBlock& block) {
  while (std::shared_ptr<Client> next = block.take_unserved()) {
    // From now on it waits for its client like any other (a handshake).
    next->entry.idle_since.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
    serve(block, *next);
  }
}

// The life of a client thread within one run: it serves its connection,
// then waits on the listeners for the next one and serves that, until the
// stop, kIdleThreadMs without a newcomer, or kMaxIdleThreads others waiting.
void ConnectionServer::Impl::serve_and_wait(const std::shared_ptr<RunBlock>& block,
                                            std::shared_ptr<Client> client) {
  serve(*block, *client);
  client.reset();
  serve_unserved(*block);
  std::unique_ptr<net::ListenWait> wait = block->listeners.make_wait(block->stop.fd());
  if (!wait || !wait->valid()) return;  // out of descriptors: the accept thread serves
  for (;;) {
    if (block->waiting.fetch_add(1) >= kMaxIdleThreads) {
      if (block->waiting.fetch_sub(1) == 1) block->dry.set();
      return;
    }
    int socket = -1, raw_port = 0, error = 0;
    std::string ip;
    bool secure = false;
    net::AcceptResult got = net::AcceptResult::WouldBlock;
    while (got == net::AcceptResult::WouldBlock) {
      bool ready[2] = {false, false};
      net::WaitResult w = wait->wait(ready, kIdleThreadMs);
      if (w.status <= 0 || w.stop) break;
      // Another waiter may have been quicker: then wait again.
      if (!block->listeners.accept_ready(ready, got, socket, ip, raw_port, error, secure)) break;
    }
    // The last waiter to go hands the listeners back to the accept thread.
    if (block->waiting.fetch_sub(1) == 1) block->dry.set();
    if (got == net::AcceptResult::Failed) {
      accept_failed(*block, error);
      continue;
    }
    if (got != net::AcceptResult::Accepted) return;  // stop, time-out or failure
    make_room(*block);
    if (std::shared_ptr<Client> next = admit(*block, socket, ip, raw_port, secure))
      serve(*block, *next);
    serve_unserved(*block);
  }
}

void ConnectionServer::Impl::serve(RunBlock& block, Client& client) {
  ConnectionSetup setup;
  setup.limits = &block.limits;
  setup.stop_fd = block.stop.fd();
  // The time-out of Run: a wait this long without any network activity
  // ends the connection too (none when 0).
  setup.activity_ms = block.idle_timeout_ms == 0
                          ? -1
                          : static_cast<int>(std::min<unsigned>(block.idle_timeout_ms, INT_MAX));
  bool quiet = true;
  // A peer that is no TLS client, or too slow to finish the handshake
  // within the request bound, is closed without a word.
  if (!client.tls || client.tls->handshake(setup.stop_fd, block.limits.request_ms)) {
    setup.secure = client.tls != nullptr;
    Connection connection(*this, setup, *client.transport, client.entry);
    quiet = connection.run();
  }
  // Out of the registry before the descriptor is released, so nothing
  // aborts a descriptor that was reused meanwhile.
  if (!block.registry.remove(client.entry) && !quiet)
    report("Thread not found in the list", "ClientThread", 0);
  client.transport->close();
  serving.fetch_sub(1);
}

}  // namespace tvl
