// ClusterNode: this server as one node of a chat that several servers share
// through Redis. It is the chat's LinePublisher: a posted line is added to
// its room's stream (XADD), and one reader thread per node follows every
// room's stream (XREAD BLOCK on its own connection) and pushes each line
// into the local ring in stream order, so every node's rings hold the same
// lines in the same order, and Redis carries one message per line per node
// whatever the number of visitors. A heartbeat thread writes the node's
// name, visitor count and time (cluster/shared_entry.h has the keys).
// Every entry of a room's stream is numbered by the script that adds it
// (the room's counter in Redis), and each server's ring takes that number,
// with the cluster's epoch: a line number means the same line everywhere.
// It is also the chat's NameClaims: a new place's name (its skeleton, so
// lookalikes too) is claimed for the node in Redis, and the heartbeat
// renews the claims this node holds every few rounds (and takes over, now
// and then, those of places it serves whose node let them lapse) and gives
// up those that left.
// And it is the chat's PlaceSharing: each change of a place goes into the
// room's stream from an outbox (a thread of its own, so the chat lock never
// waits for Redis) and every other server applies it; Redis keeps the table
// as a hash too, which a server that starts reads. The heartbeat round
// tells Redis which places this server served, in one command (a place
// once per quarter of the presence time), and leaves the places that no
// server served within the presence time.
// A room ban or its lifting goes the same way, through the outbox into the
// room's stream, and every other server records it in its RoomBans; Redis
// keeps the bans that hold as a hash too, which a server that starts reads
// (and a Redis that restarted empty is given back).
//
// Redis away: each thread notices it on its own (a connect or command that
// fails within the time-out); the node says so once through its report sink
// ("away", then "reachable again" when a command succeeds), a post is
// refused and stored nowhere, and the reader goes on from the last entry it
// applied once Redis answers again.
//
// Thread safety: publish() from any client thread, never with the chat lock
// held; start() and stop() on the owning thread. The report sink is called
// from the node's threads and client threads, never with a lock of the node
// or the chat held.
#pragma once
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"
#include "chat/line_publisher.h"
#include "chat/name_claims.h"
#include "chat/place_sharing.h"
#include "cluster/redis_link.h"
#include "cluster/shared_entry.h"
#include "platform/lock_annotations.h"
#include "storage/settings.h"

namespace tvl {

// A place of the table as it travels (its key's digest, never its key).
SharedPlace shared_place(const OnlineUser& u, const std::string& room_name,
                         const std::string& address, long long now_ms);

class ClusterNode : public LinePublisher, public NameClaims, public PlaceSharing {
 public:
  using ReportSink = std::function<void(const std::string& text)>;
  // Called with the ids of places that no server served within the
  // presence time (each goes to one server only), without any lock held:
  // the chat leaves them (leave_room) if it has not seen them since.
  using ExpirySink = std::function<void(const std::vector<unsigned long long>& places)>;
  struct Options {
    RedisAddress address;
    std::string password;
    std::string node;            // unique in the cluster
    int timeout_ms = 2000;       // connect and each command
    int block_ms = 500;          // the reader's wait in XREAD (and its stop delay)
    int heartbeat_ms = 2000;     // between heartbeats
    int applied_wait_ms = 2000;  // publish() waits this long for the local ring
    // A claim whose name is not online here is given up only after this
    // long: the entry claims the name before it takes its place.
    int claim_grace_ms = 10000;
    // A place no server served this long leaves (the chat's idle time).
    long long presence_ms = 60 * 1000;
    // The chat clock (ChatContext::now_ms) of OnlineUser::last_active_ms.
    std::function<long long()> now_ms;
  };
  enum class RedisState { Unknown, Reachable, Away };

  // `state` outlives the node. Nothing runs before start().
  ClusterNode(ChatState& state, Options options, ReportSink report);
  ~ClusterNode() override;  // stop()
  ClusterNode(const ClusterNode&) = delete;
  ClusterNode& operator=(const ClusterNode&) = delete;

  // Starts the reader and the heartbeat; a started node does nothing.
  void start();
  // Ends both threads (within about block_ms or a time-out) and removes the
  // node's heartbeat and name claims, so that status no longer lists it and
  // its visitors' names are free at once. A stopped node
  // refuses posts.
  void stop();

  [[nodiscard]] bool publish(const SharedLine& line, Reason& why) override;
  NameClaim claim(const std::string& room_name, const std::string& name_key) override;
  // Chat lock held (PlaceSharing).
  void share(PlaceEvent event) override;
  void share_ban(BanEvent event) override;
  void settle() override;
  // Set before start().
  void set_expiry(ExpirySink sink) { expiry_ = std::move(sink); }
  // The chat's room bans, which the other servers' bans go into; set before
  // start(), outlives the node. None: bans are not taken in.
  void set_room_bans(RoomBans* bans) { bans_ = bans; }

  RedisState redis_state() const;
  const std::string& node() const { return options_.node; }
  const RedisAddress& address() const { return options_.address; }

 private:
  void read_loop();
  void heartbeat_loop();
  void outbox_loop();
  // Sends one entry; false when Redis could not take it (`why`), with
  // `refused` set when Redis answered with an error.
  bool send(StreamWrite write, StreamId& id, Reason& why, bool* refused = nullptr)
      EXCLUDES(publish_lock_);
  // The rejoin command on the reader's link: the cluster's epoch into the
  // rings, the counters and (when Redis lost it) the table into Redis, and
  // at the first one the table out of Redis. False when it failed.
  bool rejoin(RedisLink& link, std::map<std::string, StreamId>& table_from, Reason& why);
  long long now_ms() const;
  // One presence round (see ExpirySink); false when Redis could not be asked.
  bool presence_round(Reason& why) EXCLUDES(publish_lock_);
  // One round of the names (heartbeat number `beat`): gives up claims of
  // names no longer online, and every kRenewEveryBeats renews the claims
  // this node holds (all online names at the first renewal, and when Redis
  // was emptied). Returns false when Redis could not be asked (`why`).
  bool tend_names(int beat, Reason& why) EXCLUDES(publish_lock_, claims_lock_);
  // Claims `names` for this node in batches; `emptied` set when Redis no
  // longer holds the cluster's epoch.
  bool renew_names(const std::vector<std::string>& names, bool& emptied, Reason& why)
      EXCLUDES(publish_lock_, claims_lock_);
  // One XREAD answer into the rings; the ids applied per stream key.
  void apply(const RedisReply& streams, std::map<std::string, StreamId>& applied,
             const std::map<std::string, StreamId>& table_from) EXCLUDES(applied_lock_);
  // What a command that began at `began` found: the first failure after a
  // success (or at the start) and the first success after a failure are
  // reported. A failure of a command that began before the last success
  // ended is stale (Redis came back meanwhile) and changes nothing.
  void note(bool ok, const std::string& why, std::chrono::steady_clock::time_point began)
      EXCLUDES(state_lock_);
  // Redis failed a command less than kRetryAfterMs ago and none succeeded
  // since: posts and entries are refused at once rather than each waiting
  // for its own time-out behind the others (the heartbeat and the reader
  // find out when it is back).
  bool recently_away() const EXCLUDES(state_lock_);
  // Waits until stop() or `ms` pass; true when stopping.
  bool pause(int ms) EXCLUDES(stop_lock_);
  bool stopping() const { return stopping_.load(); }

  ChatState& state_;
  const Options options_;
  const ReportSink report_;

  Mutex publish_lock_;  // the publishing and heartbeat connection
  RedisLink publish_link_ GUARDED_BY(publish_lock_);
  // Times Redis went away, and that count when publish_link_ was last
  // checked: a connection older than the last time away is made anew.
  std::atomic<unsigned long long> away_count_{0};
  unsigned long long publish_link_away_count_ GUARDED_BY(publish_lock_) = 0;
  void refresh_publish_link() REQUIRES(publish_lock_);

  mutable Mutex state_lock_;
  RedisState redis_state_ GUARDED_BY(state_lock_) = RedisState::Unknown;
  std::chrono::steady_clock::time_point failed_at_ GUARDED_BY(state_lock_);
  std::chrono::steady_clock::time_point succeeded_at_ GUARDED_BY(state_lock_);

  // The last entry of each room's stream that the local rings hold.
  Mutex applied_lock_;
  CondVar applied_changed_;
  std::map<std::string, StreamId> applied_ GUARDED_BY(applied_lock_);

  // The claims (name_claim) this node made and has not given up, with the time of
  // their last claim. Taken inside publish_lock_ where both are held.
  Mutex claims_lock_;
  std::map<std::string, std::chrono::steady_clock::time_point> claimed_ GUARDED_BY(claims_lock_);

  // Entries of places waiting for the outbox thread, and how many were
  // queued and sent since the start; the last entry sent per stream.
  Mutex outbox_lock_;
  CondVar outbox_changed_;
  std::deque<StreamWrite> outbox_ GUARDED_BY(outbox_lock_);
  unsigned long long queued_ GUARDED_BY(outbox_lock_) = 0;
  unsigned long long sent_ GUARDED_BY(outbox_lock_) = 0;
  std::map<std::string, StreamId> last_sent_ GUARDED_BY(outbox_lock_);

  // The node's name and this run of it, as entries name their writer.
  const std::string tag_;
  ExpirySink expiry_;
  RoomBans* bans_ = nullptr;
  bool snapshot_taken_ = false;  // the reader's: the table was read from Redis
  long long last_round_ms_ = 0;  // the heartbeat's: chat clock of the last round
  long long last_idle_look_ms_ = -(1LL << 62);  // and of its last look at idle places
  // The heartbeat's: chat clock of this node's last stamp of each place it
  // serves, and whether every claim of the table was tried once.
  std::unordered_map<unsigned long long, long long> stamped_;
  bool names_tended_ = false;
  // Redis lost the stamps: the next round stamps every place served here.
  std::atomic<bool> restamp_{false};
  // Redis lost the epoch under the reader's connection: the reader rejoins.
  std::atomic<bool> rejoin_wanted_{false};

  Mutex stop_lock_;
  CondVar stop_wake_;
  std::atomic<bool> stopping_{true};  // true until start()
  bool started_ = false;
  std::thread reader_, heartbeat_, outbox_thread_;
};

// A node for the settings' [Cluster] section: null with `why` (for a
// person) when Redis= names no address; null with `why` empty when
// Redis= is not set (this server is the whole chat). An empty Node= becomes
// "node-" and 8 random hex digits.
// `chat` gives the presence time and the chat clock.
std::shared_ptr<ClusterNode> make_cluster_node(const ServerSettings& settings, ChatState& state,
                                               ClusterNode::ReportSink report, Reason& why,
                                               const ChatContext* chat = nullptr);

}  // namespace tvl
