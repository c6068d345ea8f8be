// ServerController: the chat server of the Tavella window. It owns the chat
// engine (settings, list texts, chat state, page handlers, web server) and,
// while online, the control socket through which tvlctl reaches this chat
// (ops/control_server.h). It starts and stops the server and tells its
// state, the chat's log rows and changes made by tvlctl through signals;
// the window, its pages and dialogs read the settings through it and
// connect to its signals. It knows no widget.
//
// States:
//   Offline  no server runs; start() starts one
//   Online   the server and the control socket run; stop() ends both.
//            The program folder's lock is held from start() until the
//            state is Offline again, so that no tvlService serves the same
//            folder and tvlctl never changes its files behind this chat
//   Stuck    a stop had to abandon the server's threads: they may still
//            serve, so neither start() nor stop() acts until the port is
//            free again (probed every kPortProbeMs); then Offline
// A server that cannot start leaves the state Offline and adds no message:
// the connection server reports its own failures (a busy port among them).
//
// Cluster: with [Cluster] Redis= in option.ini the window's server is a
// node of that cluster as tvlService is (cluster/cluster_membership.h):
// it joins on start() and leaves on stop(), and the node's reports (Redis
// reached, away, back) are rows of the log page (logRowAdded, the address
// "Cluster"), not dialogs that would pile up while Redis comes and goes. The
// accounts and rooms that the pages list and change are then the
// cluster's, also while the server is offline: the stores are made from
// the settings' Redis when the window loads, so the window stays the
// cluster's console without serving. accounts() and rooms() give the
// engine's stores, whatever the state; cluster_problem() tells the pages
// whether Redis answers, so that a failure is shown as Redis away and not
// as a refusal, and nothing falls back to the folder's files.
//
// While online every tvlctl command runs on the user-interface thread on
// this chat and program folder, so a room or account added there is served
// at once; listsChanged() follows. "tvlctl reload" is refused here: the
// window's options come from its Options page.
//
// Lifetime: created and destroyed on the user-interface thread; the
// constructor loads everything (settings, templates, IP lists, rooms);
// shut_down() (or the destructor) stops the server and waits for every
// client thread, so that no log row arrives afterwards.
// Thread safety: user-interface thread only, except that client threads
// hand in log rows: each is queued to this thread (logRowAdded) and never
// waited for (the client thread holds the chat lock).
#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <string>

#include "chat/engine.h"
#include "chat/room_records.h"
#include "cluster/cluster_membership.h"
#include "storage/account_store.h"
#include "ops/control_server.h"
#include "platform/folder_lock.h"

class QTimer;

namespace tvl {

enum class ServerState { Offline, Online, Stuck };

class ServerController : public QObject {
  Q_OBJECT

 public:
  // Start-up choices tests make; the program uses the defaults.
  struct Setup {
    std::string program_folder;  // empty: the executable's folder
    // Replaces the server's Shutdown() in stop() (tests make a stop that is
    // not clean with it).
    std::function<int(ChatEngine&)> shutdown;
  };

  static constexpr int kPortProbeMs = 500;

  explicit ServerController(const Setup& setup = Setup(), QObject* parent = nullptr);
  ~ServerController() override;  // shut_down()

  ServerState state() const { return state_; }
  bool is_running() const { return state_ == ServerState::Online; }

  ChatEngine& engine() { return engine_; }
  SiteData& site_data() { return engine_.site(); }
  ServerSettings& settings() { return engine_.site().settings; }
  const std::string& program_folder() { return engine_.site().program_folder; }

  // Stores and writes the seven writable settings (and the autostart entry).
  void save_settings(const ServerSettings& values);
  // The chat takes its rooms again from where they live (rooms.sdb, or
  // the cluster's); takes the chat lock.
  void load_rooms();

  // Where the accounts and rooms live: the folder's files, or the
  // cluster's Redis when option.ini has [Cluster] Redis=.
  AccountStore& accounts() { return *engine_.pages().context().accounts; }
  RoomRecords& rooms() { return *engine_.pages().context().rooms; }
  // Whether the accounts and rooms are the cluster's.
  bool in_cluster() const { return redis_ != nullptr; }
  // Empty on a single server, or when the cluster's Redis answers now;
  // otherwise the text that tells a person that it is away.
  std::string cluster_problem();
  // The text for a Redis that failed with `why`.
  static std::string cluster_away_text(const std::string& why);
  // The node while the server runs in a cluster; null otherwise.
  ClusterNode* cluster_node() const { return cluster_.node(); }
  // Templates and IP lists again, then stop and start the server.
  void reload_and_restart();

  // Offline -> Online; nothing in another state.
  void start();
  // Online -> Offline, or Stuck when the server's threads had to be
  // abandoned; nothing in another state.
  void stop();
  // stop(), then waits for every client thread and detaches the log rows.
  void shut_down();

 signals:
  void stateChanged(tvl::ServerState state);
  // One chat event for the Logs page, on the user-interface thread.
  void logRowAdded(const QString& address, const QString& time, const QString& text);
  // A tvlctl command ran on this chat: rooms or accounts may have changed.
  void listsChanged();

 private:
  void enter(ServerState state);
  void check_port_free();
  // The control socket while online; a socket that cannot be opened is
  // told once (tvlctl then changes the files without this server seeing
  // it).
  void start_control();
  void answer_control();
  // The engine's accounts and rooms while no node is joined: the files,
  // or the cluster's (not watched: the offline chat serves nobody).
  void use_own_stores();
  // Leaves the cluster and takes the own stores again.
  void leave_cluster();

  ChatEngine engine_;
  std::function<int(ChatEngine&)> shutdown_;
  ServerState state_ = ServerState::Offline;
  int stuck_port_ = 0;
  QTimer* port_timer_ = nullptr;  // owned as a child
  ControlServer control_;
  bool control_failure_told_ = false;
  FolderLock folder_lock_;  // held while Online or Stuck
  std::shared_ptr<RedisPool> redis_;  // the settings' [Cluster] Redis; null: none
  ClusterMembership cluster_;          // joined while Online or Stuck in a cluster
};

}  // namespace tvl
