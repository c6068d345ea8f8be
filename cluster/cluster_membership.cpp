#include "cluster/cluster_membership.h"

#include "cluster/shared_accounts.h"
#include "cluster/shared_counters.h"

namespace tvl {

void ClusterMembership::join(ChatEngine& engine, ClusterNode::ReportSink report) {
  leave();
  if (!report) report = [](const std::string&) {};
  engine_ = &engine;
  Reason why;  // a malformed Redis= was refused with the settings already
  ChatContext& ctx = engine.pages().context();
  node_ = make_cluster_node(engine.site().settings, engine.state(), report, why, &ctx);
  engine.set_line_publisher(node_);
  engine.set_name_claims(node_);
  engine.set_place_sharing(node_);
  if (!node_) return;
  // Places that no node served within the presence time leave here (each
  // is handed to one node only), unless this node served them meanwhile.
  node_->set_expiry([&ctx](const std::vector<unsigned long long>& places) {
    ChatState::Hold chat(ctx.state);
    const long long now = ctx.now_ms();
    for (unsigned long long id : places) {
      const std::optional<int> at = ctx.state.find_place(id);
      if (!at) continue;
      const OnlineUser& u = ctx.state.user(*at);
      if (u.last_active_ms != 0 && now - u.last_active_ms <= ctx.idle_leave_ms) continue;
      if (ctx.state.is_waiting(u.room, u.name)) continue;
      const std::string name = u.name, address = ctx.state.join_address(*at);
      leave_room(ctx, *at, address, name);
    }
  });
  // The room bans are the whole chat's: set through any node, held on all.
  node_->set_room_bans(&ctx.guards->bans);
  // Accounts and rooms are the cluster's: a change through any node holds
  // on all.
  pool_ = make_redis_pool(engine.site().settings);
  if (pool_) {
    // Each node keeps a copy of them in its folder, written as each change
    // lands, which a Redis that restarted empty is given back.
    cluster_copy_ =
        std::make_shared<ClusterCopy>(pool_, engine.site().program_folder, node_->node(), report);
    std::shared_ptr<ClusterCopy> copy = cluster_copy_;
    engine.set_account_store(std::make_shared<SharedAccounts>(
        pool_, [copy](const std::string& fold) { copy->account_changed(fold); }));
    shared_rooms_ = std::make_shared<SharedRooms>(pool_, engine.state());
    shared_rooms_->set_changed([copy] { copy->rooms_changed(); });
    engine.set_room_records(shared_rooms_);
    shared_rooms_->start();
    cluster_copy_->start();
    // Failed logins and new accounts count for the whole cluster, and
    // closed guest entry holds on every node.
    counters_ = std::make_shared<SharedCounters>(pool_);
    cluster_copy_->add_part(counters_);  // an emptied Redis gets them back too
    ctx.guards->logins.set_shared(counters_);
    ctx.guards->guests.set_shared(counters_);
    ctx.guards->posts.set_shared(counters_);
    // Each node logs what it made into the cluster's log too.
    shared_log_ = std::make_shared<SharedLog>(pool_, node_->node());
    std::shared_ptr<SharedLog> log = shared_log_;
    engine.set_shared_log_sink([log](const std::string& address, const std::string& time,
                                     const std::string& text) { log->record(address, time, text); });
    shared_log_->start();
  }
  node_->start();
}

void ClusterMembership::leave() {
  if (!node_ || !engine_) return;
  ChatEngine& engine = *engine_;
  node_->stop();
  engine.set_line_publisher(nullptr);
  engine.set_name_claims(nullptr);
  engine.set_place_sharing(nullptr);
  engine.set_account_store(nullptr);
  engine.pages().context().guards->logins.set_shared(nullptr);
  engine.pages().context().guards->guests.set_shared(nullptr);
  engine.pages().context().guards->posts.set_shared(nullptr);
  engine.set_shared_log_sink(nullptr);
  if (shared_log_) shared_log_->stop();
  shared_log_.reset();
  if (shared_rooms_) shared_rooms_->stop();
  engine.set_room_records(nullptr);
  shared_rooms_.reset();
  if (cluster_copy_) cluster_copy_->stop();
  cluster_copy_.reset();
  counters_.reset();
  pool_.reset();
  node_.reset();
  engine_ = nullptr;
}

}  // namespace tvl
