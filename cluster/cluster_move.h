// Moving a program folder's accounts and rooms into the cluster's shared
// store and back, for `tvlctl cluster import` and `tvlctl cluster export`:
// import is how a single server's chat becomes a cluster's, export how a
// cluster's accounts and rooms are backed up or go back to one server, in
// the formats the single server reads.
// Thread safety: one call at a time per pool is enough; any thread.
#pragma once
#include <string>

#include "cluster/redis_pool.h"
#include "platform/reason.h"

namespace tvl {

// Import: <folder>users/ and <folder>rooms.sdb into the cluster (what the
// cluster holds already stays; see shared_accounts.h and shared_rooms.h).
// Export: the cluster's accounts and rooms into <folder>users/ and
// <folder>rooms.sdb. `report` receives what was moved, a line each, for a
// person. False when something could not be read or written (`why`); what
// was moved until then stays moved.
[[nodiscard]] bool import_into_cluster(RedisPool& pool, const std::string& program_folder,
                                       std::string& report, Reason& why);
[[nodiscard]] bool export_from_cluster(RedisPool& pool, const std::string& program_folder,
                                       std::string& report, Reason& why);

}  // namespace tvl
