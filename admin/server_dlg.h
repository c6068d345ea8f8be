// CServerDlg: the main window of Tavella. It shows the chat server of its
// ServerController (admin/server_controller.h), which it owns: the four
// pages in the tabs, the toolbar, the status line and the tray icon, and
// the commands of its menu, toolbar and tray menu.
//
// What the window shows of the server's state:
//   state     Start    Stop     status line
//   offline   enabled  disabled "Tavella Server is offline."
//   online    disabled enabled  "Tavella Server is online."
//   stuck     disabled disabled kStuckText, until the port is free again
//
// After a tvlctl command on this chat the Rooms and Users lists are read
// again, once no modal dialog is open (so no dialog's row goes stale under
// it).
//
// Lifetime: one per process, created and destroyed on the user-interface
// thread. The constructor runs the whole initialisation (it may start the
// server and hide the window); the destructor stops the server and waits
// for its client threads, then removes the tray icon.
// Thread safety: user-interface thread only.
#pragma once
#include <QMainWindow>
#include <memory>
#include <string>

#include "admin/server_controller.h"

class QLabel;
class QMenu;
class QTabWidget;

namespace tvl {

class CIconButton;
class CSystemTray;
class COptionsPage;
class CLogPage;
class CUsersPage;
class CRoomsPage;

class CServerDlg : public QMainWindow {
  Q_OBJECT

 public:
  using Setup = tvl::ServerController::Setup;

  static const char kTitle[];        // "Tavella Server v1.2 "
  static const char kOnlineText[];   // "Tavella Server is online."
  static const char kOfflineText[];  // "Tavella Server is offline."
  static const char kStuckText[];    // shown after a stop that was not clean

  explicit CServerDlg(const Setup& setup = Setup(), QWidget* parent = nullptr);
  ~CServerDlg() override;

  tvl::ServerController& controller() { return *controller_; }

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

 signals:
  // The window was closed (title bar, Alt+F4 or Exit): the program ends.
  void ended();

 public slots:
  void start_server() { controller_->start(); }
  void stop_server() { controller_->stop(); }
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
  void build_guest_entry_action(QMenu* menu);
  void build_pages();
  void build_tray();
  void place_and_show();
  void show_state(tvl::ServerState state);
  // Rooms and Users read again, now or once no modal dialog is open.
  void refresh_lists();

  std::unique_ptr<tvl::ServerController> controller_;
  bool starting_minimized_ = false;
  bool refresh_pending_ = false;

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

}  // namespace tvl
