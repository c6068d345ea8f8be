// CSystemTray: the program's icon in the desktop's notification area. A
// double-click shows, restores and raises the target window; a right-click
// opens the tray menu (its items are the window's commands); a single left
// click does nothing. The tooltip and the icon never change.
// Without a notification area (QSystemTrayIcon::isSystemTrayAvailable()
// false) nothing is created and present() stays false; the window then keeps
// itself reachable (it minimises instead of hiding).
// Lifetime: owned by the main window; destruction removes the icon.
// Thread safety: user-interface thread only.
#pragma once
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QMenu;
class CServerDlg;

class CSystemTray : public QObject {
  Q_OBJECT

 public:
  CSystemTray() = default;
  ~CSystemTray() override;  // Destroy()

  // Adds the icon with its tooltip and menu (not owned; it must outlive the
  // icon). True when the icon is in the notification area.
  bool Create(CServerDlg* target, const QString& tooltip, const QIcon& icon, QMenu* menu);
  // Removes the icon when present.
  void Destroy();
  bool present() const { return present_; }
  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }

  // Whether the desktop has a notification area; tests force an answer with
  // set_available_for_tests (1 yes, 0 no, -1 ask the desktop).
  static bool available();
  static void set_available_for_tests(int answer);

 public slots:
  // The notification handler.
  void on_activated(QSystemTrayIcon::ActivationReason reason);

 private:
  QSystemTrayIcon* icon_ = nullptr;  // owned
  QMenu* menu_ = nullptr;
  QPointer<CServerDlg> target_;
  bool present_ = false;
};
