// CServiceDlg: "Service": installs, removes, starts and stops the service
// program by running "<program folder>tvlService" with -i, -u, -s or -e,
// detached (its own session, no window, nothing waits for it or looks at
// its result). "Start Service" first stops the window's own server and
// afterwards switches off the window's automatic start (auto_active and
// startup to 0, all settings saved, so the autostart entry goes too).
// Modal, on the user-interface thread; run through run_dialog.
#pragma once
#include <QDialog>
#include <string>

namespace tvl {
class ServerController;
}
class QPushButton;

class CServiceDlg : public QDialog {
  Q_OBJECT

 public:
  static const char kExplanation[];
  static const char kServiceName[];  // "Service name: Tavella Service."

  // `program_folder` ends in "/" and holds tvlService.
  CServiceDlg(tvl::ServerController& owner, const std::string& program_folder, QWidget* parent = nullptr);

  QPushButton* start_button() const { return start_; }
  QPushButton* stop_button() const { return stop_; }

 public slots:
  void on_install() { run_service("-i"); }
  void on_uninstall() { run_service("-u"); }
  void on_start_service();
  void on_stop_service() { run_service("-e"); }

 private:
  void run_service(const char* option);

  tvl::ServerController& owner_;
  std::string folder_;
  QPushButton* install_ = nullptr;
  QPushButton* uninstall_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
};
