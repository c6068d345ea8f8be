// ClusterMembership: one chat engine as a node of the cluster that its
// settings' [Cluster] section names. join() wires the node (lines, names,
// places, room bans), the cluster's accounts and rooms, the shared
// counters of failed logins, registrations and guest entry, and the
// cluster's chat log into the engine and starts their threads; leave()
// stops them and gives the engine back its own (the folder's files and
// local counters). tvlService and the Tavella window both join through it,
// so a node is a node whichever program runs it.
//
// Without Redis= in the settings join() clears the engine's cluster seams
// and joins nothing; node() stays null.
// Lifetime: the engine outlives the membership. The destructor stops the
// cluster's threads (each part's own destructor) but leaves the engine's
// seams as they are, since a server whose stop abandoned its threads may
// still read them: leave() first to give the engine its own again.
// Thread safety: join() and leave() on the engine's owning thread, while
// the engine's server is stopped (the engine's seams are set only then).
// The report sink is called from the node's threads and client threads.
#pragma once
#include <memory>
#include <string>

#include "chat/engine.h"
#include "cluster/cluster_copy.h"
#include "cluster/cluster_node.h"
#include "cluster/redis_pool.h"
#include "cluster/shared_counters.h"
#include "cluster/shared_log.h"
#include "cluster/shared_rooms.h"

namespace tvl {

class ClusterMembership {
 public:
  ClusterMembership() = default;
  ~ClusterMembership() = default;
  ClusterMembership(const ClusterMembership&) = delete;
  ClusterMembership& operator=(const ClusterMembership&) = delete;

  // Joins `engine` to the cluster of its settings; `report` hears that
  // Redis is away or back (none: dropped). A Redis that is away is
  // reported and joins all the same: the node refuses posts until it is
  // back. A joined membership leaves first.
  void join(ChatEngine& engine, ClusterNode::ReportSink report);
  // Stops the cluster's threads and gives the engine its own accounts,
  // rooms, counters and log again. Nothing when not joined.
  void leave();

  // While joined to a cluster; null otherwise.
  ClusterNode* node() const { return node_.get(); }
  const std::shared_ptr<RedisPool>& pool() const { return pool_; }
  // The cluster's counters and closed guest entry; null when not joined.
  SharedCounters* counters() const { return counters_.get(); }

 private:
  ChatEngine* engine_ = nullptr;
  std::shared_ptr<ClusterNode> node_;
  std::shared_ptr<RedisPool> pool_;
  std::shared_ptr<SharedRooms> shared_rooms_;  // the cluster's rooms while joined
  std::shared_ptr<SharedLog> shared_log_;      // the cluster's chat log while joined
  std::shared_ptr<ClusterCopy> cluster_copy_;  // this node's copy of its accounts and rooms
  std::shared_ptr<SharedCounters> counters_;
};

}  // namespace tvl
