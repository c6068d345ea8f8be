// CSystemTray: the program's icon in the desktop's notification area and
// its menu. It knows no window: a double-click and the menu's items emit
// requests (showRequested for a double-click and "Show main window", then
// one signal per command), which the main window connects to its commands;
// a right-click opens the menu; a single left click does nothing. The
// tooltip and the icon never change.
// Without a notification area (QSystemTrayIcon::isSystemTrayAvailable()
// false) no icon is created and present() stays false; the window then
// keeps itself reachable (it minimises instead of hiding). The menu exists
// either way.
// Lifetime: owned by the main window; destruction removes the icon.
// Thread safety: user-interface thread only.
#pragma once
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>

class QMenu;

class CSystemTray : public QObject {
  Q_OBJECT

 public:
  CSystemTray();
  ~CSystemTray() override;  // Destroy()

  // Adds the icon with its tooltip and the tray menu. True when the icon is
  // in the notification area.
  bool Create(const QString& tooltip, const QIcon& icon);
  // Removes the icon when present.
  void Destroy();
  bool present() const { return present_; }
  // The tray menu: "Show main window", -, "Start Server", "Stop Server", -,
  // "About...", "Help...", "Exit".
  QMenu* menu() const { return menu_.get(); }
  QSystemTrayIcon* icon() const { return icon_; }

  // Whether the desktop has a notification area; tests force an answer with
  // set_available_for_tests (1 yes, 0 no, -1 ask the desktop).
  static bool available();
  static void set_available_for_tests(int answer);

 signals:
  void showRequested();
  void startRequested();
  void stopRequested();
  void aboutRequested();
  void helpRequested();
  void exitRequested();

 public slots:
  // The notification handler.
  void on_activated(QSystemTrayIcon::ActivationReason reason);

 private:
  std::unique_ptr<QMenu> menu_;
  QSystemTrayIcon* icon_ = nullptr;  // owned
  bool present_ = false;
};
