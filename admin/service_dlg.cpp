#include "admin/service_dlg.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "admin/server_controller.h"
#include "platform/process.h"

const char CServiceDlg::kExplanation[] =
    "You can run Tavella Server as a system service. The service keeps the Chat Server "
    "active even when nobody is logged in. It runs under systemd where the system uses "
    "systemd, and under Tavella's own service manager elsewhere.";
const char CServiceDlg::kServiceName[] = "Service name: Tavella Service.";

CServiceDlg::CServiceDlg(tvl::ServerController& owner, const std::string& program_folder, QWidget* parent)
    : QDialog(parent), owner_(owner), folder_(program_folder) {
  setWindowTitle("Service");
  auto* grid = new QGridLayout(this);
  auto* text = new QLabel(kExplanation);
  text->setWordWrap(true);
  text->setMinimumWidth(260);
  grid->addWidget(text, 0, 0, 1, 2);
  grid->addWidget(new QLabel(kServiceName), 1, 0, 1, 2);
  install_ = new QPushButton("Install Service");
  uninstall_ = new QPushButton("Uninstall Service");
  start_ = new QPushButton("Start Service");
  stop_ = new QPushButton("Stop Service");
  auto* exit = new QPushButton("Exit");
  grid->addWidget(install_, 2, 0);
  grid->addWidget(uninstall_, 2, 1);
  grid->addWidget(start_, 3, 0);
  grid->addWidget(stop_, 3, 1);
  grid->addWidget(exit, 4, 1);
  connect(install_, &QPushButton::clicked, this, &CServiceDlg::on_install);
  connect(uninstall_, &QPushButton::clicked, this, &CServiceDlg::on_uninstall);
  connect(start_, &QPushButton::clicked, this, &CServiceDlg::on_start_service);
  connect(stop_, &QPushButton::clicked, this, &CServiceDlg::on_stop_service);
  connect(exit, &QPushButton::clicked, this, &CServiceDlg::reject);
}

void CServiceDlg::run_service(const char* option) {
  // Nothing waits for the program or looks at what it did.
  tvl::spawn_detached(folder_ + "tvlService", {option}, [](int) {});
}

void CServiceDlg::on_start_service() {
  // The service takes the port: the window's own server goes first, and the
  // window no longer starts a server of its own.
  owner_.stop();
  run_service("-s");
  tvl::ServerSettings values = owner_.settings();
  values.auto_active = false;
  values.startup = false;
  owner_.save_settings(values);
}
