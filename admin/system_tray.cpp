#include "admin/system_tray.h"

#include <QMenu>

namespace {
int g_available_for_tests = -1;
}

bool CSystemTray::available() {
  if (g_available_for_tests >= 0) return g_available_for_tests == 1;
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void CSystemTray::set_available_for_tests(int answer) { g_available_for_tests = answer; }

CSystemTray::CSystemTray() : menu_(std::make_unique<QMenu>()) {
  menu_->addAction("Show main window", this, &CSystemTray::showRequested);
  menu_->addSeparator();
  menu_->addAction("Start Server", this, &CSystemTray::startRequested);
  menu_->addAction("Stop Server", this, &CSystemTray::stopRequested);
  menu_->addSeparator();
  menu_->addAction("About...", this, &CSystemTray::aboutRequested);
  menu_->addAction("Help...", this, &CSystemTray::helpRequested);
  menu_->addAction("Exit", this, &CSystemTray::exitRequested);
}

CSystemTray::~CSystemTray() { Destroy(); }

bool CSystemTray::Create(const QString& tooltip, const QIcon& icon) {
  if (!available()) {
    present_ = false;
    return false;
  }
  icon_ = new QSystemTrayIcon(icon, this);
  icon_->setToolTip(tooltip);
  // The menu opens on a right-click by itself on every tray host.
  icon_->setContextMenu(menu_.get());
  connect(icon_, &QSystemTrayIcon::activated, this, &CSystemTray::on_activated);
  icon_->show();
  present_ = true;
  return true;
}

void CSystemTray::Destroy() {
  if (icon_) {
    icon_->hide();
    delete icon_;
    icon_ = nullptr;
  }
  present_ = false;
}

void CSystemTray::on_activated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick:
      emit showRequested();
      break;
    case QSystemTrayIcon::Context:  // the menu is shown by the tray host
    case QSystemTrayIcon::Trigger:  // a single click does nothing
    default:
      break;
  }
}
