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
  // Re-reads rooms.sdb into the chat state (takes the chat lock).
  void load_rooms();
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

  ChatEngine engine_;
  std::function<int(ChatEngine&)> shutdown_;
  ServerState state_ = ServerState::Offline;
  int stuck_port_ = 0;
  QTimer* port_timer_ = nullptr;  // owned as a child
  ControlServer control_;
  bool control_failure_told_ = false;
  FolderLock folder_lock_;  // held while Online or Stuck
};

}  // namespace tvl
