#include "service/engine_object.h"

#include <cstdio>
#include <ctime>

#include "cluster/cluster_copy.h"
#include "cluster/shared_accounts.h"
#include "cluster/shared_counters.h"
#include "server/connection_limits.h"

namespace tvl {

EngineObject::EngineObject() = default;

EngineObject::~EngineObject() { stop_chat_server(); }

void EngineObject::load(const std::string& program_folder) { engine_.load(program_folder); }

bool EngineObject::start_chat_server() {
  if (running_) return true;
  engine_.server().set_report_sink(reports_);
  const int port = engine_.site().settings.port;
  join_cluster();
  if (engine_.start(port) == 1) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::printf("%s Chat Server started on port %d\n", stamp, port);
    std::fflush(stdout);
    running_ = true;
  } else {
    leave_cluster();
  }
  return running_;
}

void EngineObject::join_cluster() {
  ClusterNode::ReportSink report = cluster_reports_;
  if (!report)
    report = [](const std::string& text) {
      std::fprintf(stderr, "tvlService: %s\n", text.c_str());
      std::fflush(stderr);
    };
  Reason why;  // a malformed Redis= was refused with the settings already
  ChatContext& ctx = engine_.pages().context();
  cluster_ = make_cluster_node(engine_.site().settings, engine_.state(), report, why, &ctx);
  engine_.set_line_publisher(cluster_);
  engine_.set_name_claims(cluster_);
  engine_.set_place_sharing(cluster_);
  if (!cluster_) return;
  // Places that no node served within the presence time leave here (each
  // is handed to one node only), unless this node served them meanwhile.
  cluster_->set_expiry([&ctx](const std::vector<unsigned long long>& places) {
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
  cluster_->set_room_bans(&ctx.guards->bans);
  // Accounts and rooms are the cluster's: a change through any node holds
  // on all.
  if (std::shared_ptr<RedisPool> pool = make_redis_pool(engine_.site().settings)) {
    // Each node keeps a copy of them in its folder, written as each change
    // lands, which a Redis that restarted empty is given back.
    cluster_copy_ = std::make_shared<ClusterCopy>(pool, engine_.site().program_folder,
                                                  cluster_->node(), report);
    std::shared_ptr<ClusterCopy> copy = cluster_copy_;
    engine_.set_account_store(std::make_shared<SharedAccounts>(
        pool, [copy](const std::string& fold) { copy->account_changed(fold); }));
    shared_rooms_ = std::make_shared<SharedRooms>(pool, engine_.state());
    shared_rooms_->set_changed([copy] { copy->rooms_changed(); });
    engine_.set_room_records(shared_rooms_);
    shared_rooms_->start();
    cluster_copy_->start();
    // Failed logins and new accounts count for the whole cluster, and
    // closed guest entry holds on every node.
    auto counters = std::make_shared<SharedCounters>(pool);
    cluster_copy_->add_part(counters);  // an emptied Redis gets them back too
    engine_.pages().context().guards->logins.set_shared(counters);
    engine_.pages().context().guards->guests.set_shared(counters);
    // Each node logs what it made into the cluster's log too.
    shared_log_ = std::make_shared<SharedLog>(pool, cluster_->node());
    std::shared_ptr<SharedLog> log = shared_log_;
    engine_.set_shared_log_sink([log](const std::string& address, const std::string& time,
                                      const std::string& text) { log->record(address, time, text); });
    shared_log_->start();
  }
  cluster_->start();
}

void EngineObject::leave_cluster() {
  if (!cluster_) return;
  cluster_->stop();
  engine_.set_line_publisher(nullptr);
  engine_.set_name_claims(nullptr);
  engine_.set_place_sharing(nullptr);
  engine_.set_account_store(nullptr);
  engine_.pages().context().guards->logins.set_shared(nullptr);
  engine_.pages().context().guards->guests.set_shared(nullptr);
  engine_.set_shared_log_sink(nullptr);
  if (shared_log_) shared_log_->stop();
  shared_log_.reset();
  if (shared_rooms_) shared_rooms_->stop();
  engine_.set_room_records(nullptr);
  shared_rooms_.reset();
  if (cluster_copy_) cluster_copy_->stop();
  cluster_copy_.reset();
  cluster_.reset();
}

bool EngineObject::reload() {
  stop_chat_server();
  // Client threads read the settings without a lock: they are given a
  // moment to finish before the settings are replaced.
  (void)engine_.server().wait_clients(kStopClientsMs);  // not reported, by design
  load();
  return start_chat_server();
}

void EngineObject::stop_chat_server() {
  if (running_ && engine_.stop() == 1) {
    leave_cluster();
    std::printf("chat server stopped\n");
    std::fflush(stdout);
    running_ = false;
  }
}

}  // namespace tvl
