// CServerDlg: the main window of Tavella. It owns the chat (settings, list
// texts, chat state, chat log, page handlers and web server, through one
// ChatEngine, wired as in the service), the four pages in the tabs, the toolbar,
// the status line and the tray icon, and it starts and stops the server.
//
// Server states (the only ones the window shows):
//   state     Start    Stop     status line
//   offline   enabled  disabled "Tavella Server is offline."
//   online    disabled enabled  "Tavella Server is online."
//   stuck     disabled disabled kStuckText, until the port is free again;
//                               then offline
// "stuck" follows a stop that had to abandon the server's threads: they may
// still serve, so the window claims neither state until the port is free.
//
// While online the window also serves tvlctl through the control socket of
// the state folder, as tvlService does (ops/control_server.h): each
// command runs on the user-interface thread on this window's chat and
// program folder, so a room or account added there is served at once, and
// the Rooms and Users lists are read again afterwards (once no modal
// dialog is open, so no dialog's row goes stale under it). "tvlctl reload"
// is refused here: the window's options come from the Options page.
//
// Lifetime: one per process, created and destroyed on the user-interface
// thread. The constructor runs the whole initialisation (it may start the
// server and hide the window); the destructor stops the server and removes
// the tray icon.
// Thread safety: everything runs on the user-interface thread except the
// engine's log row sink, which client threads call; it queues the log row to
// the user-interface thread and never waits.
#pragma once
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>

#include "chat/engine.h"
#include "ops/control_server.h"

class QLabel;
class QTabWidget;
class QTimer;
class CIconButton;
class CSystemTray;
class COptionsPage;
class CLogPage;
class CUsersPage;
class CRoomsPage;

class CServerDlg : public QMainWindow {
  Q_OBJECT

 public:
  // Start-up choices tests make; the program uses the defaults.
  struct Setup {
    std::string program_folder;  // empty: the executable's folder
    // Replaces the server's Shutdown() in stop_server (tests make a stop
    // that is not clean with it).
    std::function<int(tvl::ChatEngine&)> shutdown;
  };

  static const char kTitle[];        // "Tavella Server v1.2 "
  static const char kOnlineText[];   // "Tavella Server is online."
  static const char kOfflineText[];  // "Tavella Server is offline."
  static const char kStuckText[];    // shown after a stop that was not clean

  explicit CServerDlg(const Setup& setup = Setup(), QWidget* parent = nullptr);
  ~CServerDlg() override;

  // --- what the pages and dialogs use ---
  const std::string& program_folder() { return engine_.site().program_folder; }
  tvl::SiteData& site_data() { return engine_.site(); }
  tvl::ServerSettings& settings() { return engine_.site().settings; }
  // Stores and writes the seven writable settings (and the autostart entry).
  void save_settings(const tvl::ServerSettings& values);
  // Re-reads rooms.sdb into the chat state (takes the chat lock).
  void load_rooms();
  // Templates and IP lists again, then stop and start the server.
  void reload_and_restart();
  void start_server();
  void stop_server();
  bool is_running() const { return running_; }
  // Stop failed to end the server's threads; Start waits for the port.
  bool is_stuck() const { return stuck_; }

  COptionsPage* options_page() const { return options_page_; }
  CLogPage* log_page() const { return log_page_; }
  CUsersPage* users_page() const { return users_page_; }
  CRoomsPage* rooms_page() const { return rooms_page_; }
  CIconButton* start_button() const { return start_button_; }
  CIconButton* stop_button() const { return stop_button_; }
  CIconButton* help_button() const { return help_button_; }
  CIconButton* about_button() const { return about_button_; }
  QTabWidget* tabs() const { return tabs_; }
  CSystemTray* tray() const { return tray_.get(); }
  QString status_text() const;
  tvl::ChatEngine& engine() { return engine_; }

 signals:
  // The window was closed (title bar, Alt+F4 or Exit): the program ends.
  void ended();

 public slots:
  void on_start() { start_server(); }
  void on_stop() { stop_server(); }
  void on_exit();
  void on_help();
  void on_about();
  // Shows the window, restores it from minimised and brings it to the front.
  void show_main_window();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void build_window();
  void set_state_offline();
  void set_state_online();
  void set_state_stuck();
  void check_port_free();
  // The control socket while online; a socket that cannot be opened is
  // told once (tvlctl then changes the files without this server seeing
  // it).
  void start_control();
  void answer_control();
  // Rooms and Users read again, now or once no modal dialog is open.
  void refresh_lists();

  tvl::ChatEngine engine_;
  std::function<int(tvl::ChatEngine&)> shutdown_;
  bool running_ = false;
  bool starting_minimized_ = false;
  bool stuck_ = false;
  int stuck_port_ = 0;
  QTimer* port_timer_ = nullptr;
  tvl::ControlServer control_;
  bool refresh_pending_ = false;
  bool control_failure_told_ = false;

  QTabWidget* tabs_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* right_panel_ = nullptr;
  CIconButton* start_button_ = nullptr;
  CIconButton* stop_button_ = nullptr;
  CIconButton* help_button_ = nullptr;
  CIconButton* about_button_ = nullptr;
  COptionsPage* options_page_ = nullptr;
  CLogPage* log_page_ = nullptr;
  CUsersPage* users_page_ = nullptr;
  CRoomsPage* rooms_page_ = nullptr;
  std::unique_ptr<CSystemTray> tray_;
};
