// COptionsPage: the "Options" tab: port, the five start-up and chat switches,
// the addresses of this machine, "Restart", and the IP Filter and Service
// dialogs.
//
// The page keeps its own copy of the writable settings (the members below),
// loaded once from the live settings. Every check-box click stores the
// controls through save_page_settings(): a typed port is then written to
// option.ini while the running server keeps its port until "Restart"
// (URL list, save, reload_and_restart()). An empty or non-numeric port box
// answers "Please enter an integer." and saves the members as they were.
// After the Service dialog the check boxes show the live startup and
// auto_active again ("Start Service" switches both off), so a later click
// does not store the old values back.
//
// Created once by the main window, lives as long as it; runs on the
// user-interface thread and reaches the chat through the ServerController.
#pragma once
#include <QStringList>
#include <QWidget>
#include <string>
#include <vector>

namespace tvl {
class ServerController;
}
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

class COptionsPage : public QWidget {
  Q_OBJECT

 public:
  COptionsPage(tvl::ServerController& owner, QWidget* parent);

  // "http://%s%s" for each address, the suffix empty for port 80 and ":%d"
  // otherwise.
  static QStringList url_list(const std::vector<std::string>& addresses, int port);

  void fill_url_list();
  void save_page_settings();

  QLineEdit* port_box() const { return port_; }
  QPushButton* restart_button() const { return restart_; }
  QComboBox* url_box() const { return urls_; }
  QCheckBox* startup_box() const { return startup_; }
  QCheckBox* minimize_box() const { return minimize_; }
  QCheckBox* auto_active_box() const { return auto_active_; }
  QCheckBox* save_log_box() const { return save_log_; }

 public slots:
  void on_restart();
  void on_go();
  void on_log_folder();
  void on_ip_filter();
  void on_service();

 private:
  // Controls into members; false (members untouched) when the port box
  // holds no integer, after telling the user.
  bool read_controls();
  void write_controls();

  tvl::ServerController& owner_;
  int port_value_ = 80;
  bool startup_value_ = false, minimize_value_ = false, auto_active_value_ = false;
  bool save_log_value_ = false, registration_value_ = true;
  int filter_mode_ = 0;

  QLineEdit* port_ = nullptr;
  QPushButton* restart_ = nullptr;
  QComboBox* urls_ = nullptr;
  QCheckBox* startup_ = nullptr;
  QCheckBox* minimize_ = nullptr;
  QCheckBox* auto_active_ = nullptr;
  QCheckBox* save_log_ = nullptr;
  QCheckBox* registration_ = nullptr;
};
