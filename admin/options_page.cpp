#include "admin/options_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include "admin/dialog_seam.h"
#include "admin/ip_filter_dlg.h"
#include "admin/links.h"
#include "admin/server_controller.h"
#include "storage/chat_log.h"
#include "admin/service_dlg.h"
#include "platform/fs.h"
#include "platform/interfaces.h"
#include "platform/message_box.h"
#include "storage/ip_list.h"

namespace tvl {

namespace {
// The page's controls are placed in dialog units of an 8 pt font, as the
// rest of the window's forms: 1 unit is 1.5 px across and 1.625 px down.
QRect du(int x, int y, int w, int h) {
  return QRect(x * 3 / 2, y * 13 / 8, w * 3 / 2, h * 13 / 8);
}

template <typename W>
W* place(QWidget* parent, W* widget, int x, int y, int w, int h) {
  widget->setParent(parent);
  widget->setGeometry(du(x, y, w, h));
  return widget;
}
}  // namespace

COptionsPage::COptionsPage(tvl::ServerController& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  place(this, new QLabel("Port:"), 17, 12, 24, 8);
  port_ = place(this, new QLineEdit, 43, 10, 52, 12);
  port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), port_));
  restart_ = place(this, new QPushButton("Restart"), 110, 10, 52, 12);
  place(this, new QLabel("URL:"), 17, 29, 24, 8);
  urls_ = place(this, new QComboBox, 43, 27, 120, 12);
  auto* go = place(this, new QPushButton("Go"), 166, 27, 17, 12);
  startup_ = place(this, new QCheckBox("Launch Server at login"), 17, 51, 160, 10);
  minimize_ = place(this, new QCheckBox("Startup minimized in systemtray"), 17, 65, 160, 10);
  auto_active_ =
      place(this, new QCheckBox("Automatically activate server at startup"), 17, 79, 180, 10);
  save_log_ = place(this, new QCheckBox("Save log to file"), 17, 92, 90, 10);
  auto* folder = place(this, new QPushButton("..."), 110, 92, 26, 9);
  registration_ =
      place(this, new QCheckBox("Eanble guest to register a new account"), 17, 106, 180, 10);
  auto* filter = place(this, new QPushButton("IP Filter..."), 17, 119, 52, 12);
  auto* service = place(this, new QPushButton("Service..."), 75, 119, 52, 12);

  for (QCheckBox* box : {startup_, minimize_, auto_active_, save_log_, registration_})
    connect(box, &QCheckBox::clicked, this, &COptionsPage::save_page_settings);
  connect(port_, &QLineEdit::textEdited, this, [this] { restart_->setEnabled(true); });
  connect(restart_, &QPushButton::clicked, this, &COptionsPage::on_restart);
  connect(go, &QPushButton::clicked, this, &COptionsPage::on_go);
  connect(folder, &QPushButton::clicked, this, &COptionsPage::on_log_folder);
  connect(filter, &QPushButton::clicked, this, &COptionsPage::on_ip_filter);
  connect(service, &QPushButton::clicked, this, &COptionsPage::on_service);

  const tvl::ServerSettings& s = owner_.settings();
  auto_active_value_ = s.auto_active;
  minimize_value_ = s.minimize;
  startup_value_ = s.startup;
  save_log_value_ = s.save_log;
  port_value_ = s.port;
  registration_value_ = s.allow_registration;
  filter_mode_ = s.filter_mode;
  write_controls();
  fill_url_list();
  restart_->setEnabled(false);
}

void COptionsPage::write_controls() {
  port_->setText(QString::number(port_value_));
  startup_->setChecked(startup_value_);
  minimize_->setChecked(minimize_value_);
  auto_active_->setChecked(auto_active_value_);
  save_log_->setChecked(save_log_value_);
  registration_->setChecked(registration_value_);
}

bool COptionsPage::read_controls() {
  bool ok = false;
  const int port = port_->text().trimmed().toInt(&ok);
  if (!ok) {
    tvl::message_box("Tavella", "Please enter an integer.", tvl::MessageIcon::Warning);
    port_->setFocus();
    return false;
  }
  port_value_ = port;
  startup_value_ = startup_->isChecked();
  minimize_value_ = minimize_->isChecked();
  auto_active_value_ = auto_active_->isChecked();
  save_log_value_ = save_log_->isChecked();
  registration_value_ = registration_->isChecked();
  return true;
}

QStringList COptionsPage::url_list(const std::vector<std::string>& addresses, int port) {
  char suffix[16] = "";
  if (port != 80) snprintf(suffix, sizeof suffix, ":%d", port);
  QStringList urls;
  char url[64];
  for (const std::string& a : addresses) {
    snprintf(url, sizeof url, "http://%s%s", a.c_str(), suffix);
    urls << url;
  }
  return urls;
}

void COptionsPage::fill_url_list() {
  read_controls();
  urls_->clear();
  urls_->addItems(url_list(tvl::local_ipv4_addresses(), port_value_));
  if (urls_->count()) urls_->setCurrentIndex(0);
}

void COptionsPage::save_page_settings() {
  read_controls();
  tvl::ServerSettings values = owner_.settings();
  values.port = port_value_;
  values.startup = startup_value_;
  values.auto_active = auto_active_value_;
  values.minimize = minimize_value_;
  values.save_log = save_log_value_;
  values.allow_registration = registration_value_;
  values.filter_mode = filter_mode_;
  owner_.save_settings(values);
}

void COptionsPage::on_restart() {
  fill_url_list();
  restart_->setEnabled(false);
  save_page_settings();
  owner_.reload_and_restart();
}

void COptionsPage::on_go() {
  if (urls_->currentIndex() < 0) return;
  open_window_link(urls_->currentText().toStdString(), tvl::kShowNormal);
}

void COptionsPage::on_log_folder() {
  // The folder as the operator knows it, without the path's closing slash.
  std::string folder = tvl::chat_log_folder(owner_.program_folder());
  folder.pop_back();
  open_window_link(folder, tvl::kShowNormal);
}

void COptionsPage::on_ip_filter() {
  tvl::SiteData& site = owner_.site_data();
  CIpFilterDlg dlg(*site.reject_list.get(), *site.accept_list.get(), owner_.program_folder(),
                   filter_mode_, this);
  if (run_dialog(dlg) != QDialog::Accepted) return;
  // The server's readers hold snapshots, so the texts may change under them.
  site.accept_list.set(dlg.accept_list());
  site.reject_list.set(dlg.reject_list());
  // Each list is replaced whole: a full disk must not leave an empty reject
  // list for the next start.
  for (const char* name : {tvl::kRejectListFile, tvl::kAcceptListFile}) {
    const std::string& text = name == tvl::kRejectListFile ? dlg.reject_list() : dlg.accept_list();
    if (!tvl::replace_whole_file(owner_.program_folder() + name, text))
      tvl::message_box("Tavella", std::string("The IP list ") + name +
                                      " could not be written; the file keeps its old addresses.",
                       tvl::MessageIcon::Warning);
  }
  filter_mode_ = dlg.mode();
  save_page_settings();
}

void COptionsPage::on_service() {
  CServiceDlg dlg(owner_, owner_.program_folder(), this);
  run_dialog(dlg);
  // "Start Service" may have switched these off in the live settings.
  startup_value_ = owner_.settings().startup;
  auto_active_value_ = owner_.settings().auto_active;
  startup_->setChecked(startup_value_);
  auto_active_->setChecked(auto_active_value_);
}

}  // namespace tvl
