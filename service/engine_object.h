// The engine object of tvlService. It holds the
// chat (settings, list texts, chat state, chat log, web server) through
// ChatEngine, and the running flag of the chat server.
// Lines it writes go to standard output and are flushed at once, because a
// supervisor or a test usually reads them through a pipe:
//   "<%Y-%m-%d %H:%M:%S> Chat Server started on port <port>"
//   "chat server stopped"
// Thread safety: load, start_chat_server and stop_chat_server run on the
// owning (service) thread; client threads reach the chat through the
// server that ChatEngine built.
#pragma once
#include <string>

#include "chat/engine.h"
#include "cluster/cluster_membership.h"

namespace tvl {

class EngineObject {
 public:
  EngineObject();
  ~EngineObject();  // stops the chat server
  EngineObject(const EngineObject&) = delete;
  EngineObject& operator=(const EngineObject&) = delete;

  // Runs load_settings(). A non-empty program_folder replaces the
  // executable's folder (tests).
  void load(const std::string& program_folder = std::string());

  // Nothing when running (true). Otherwise starts the chat server on the
  // settings' address and port, its socket layer's error reports going to
  // `reports` (none: dropped); with [Cluster] Redis= the node joins the
  // cluster first and takes its accounts and rooms from there (a Redis that is away is reported and does not keep the
  // server from starting: it refuses posts until Redis is back); on success
  // writes the "started" line and sets
  // the running flag. False when the server does not run afterwards.
  [[nodiscard]] bool start_chat_server();
  void set_error_reports(ConnectionServer::ReportSink reports) { reports_ = std::move(reports); }

  // A new reading of option.ini, the IP lists and the rooms, as the window
  // does after its options are applied: the chat server stops, the files
  // are read again and the server starts on the settings now read. Online
  // visitors stay (the chat lives in memory). False when the server could
  // not be started again; it is then stopped.
  [[nodiscard]] bool reload();

  // When running: Shutdown(); when that ends the server's threads in time
  // (1) writes "chat server stopped" and clears the flag. A Shutdown that
  // had to abandon threads leaves the flag set.
  void stop_chat_server();

  // Where the cluster node says that Redis is away or back (none: standard
  // error). Set while the server is stopped.
  void set_cluster_reports(ClusterNode::ReportSink sink) { cluster_reports_ = std::move(sink); }
  // The node of a server whose option.ini has [Cluster] Redis=, while it
  // runs; null otherwise.
  ClusterNode* cluster() { return cluster_.node(); }
  const ClusterMembership& cluster_membership() const { return cluster_; }

  bool running() const { return running_; }
  ChatEngine& engine() { return engine_; }

 private:
  ChatEngine engine_;
  ConnectionServer::ReportSink reports_;
  ClusterNode::ReportSink cluster_reports_;
  ClusterMembership cluster_;  // joined while the server runs with [Cluster] Redis=
  bool running_ = false;
  void join_cluster();
  void leave_cluster();
};

}  // namespace tvl
