// The test bench of the window: a temporary program folder with the shipped
// site (templates, option.ini, rooms.sdb, users/, help/), a port reserved
// for its life written to its option.ini, TAVELLA_STATE_DIR and XDG_CONFIG_HOME in
// temporary folders, message boxes recorded instead of shown and modal
// dialogs driven through the seam. Windows are opened on this folder under
// the offscreen platform (the CTest entry sets QT_QPA_PLATFORM=offscreen).
#pragma once
#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "admin/server_dlg.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "tests/support/test_util.h"

namespace tvl::test {

// How long a window test waits for something another thread or the event
// loop brings about: a guard against a hang, never a speed check, so it is
// far above QtTest's five seconds, which a loaded machine can exceed.
constexpr int kHangGuardMs = 60000;

// Holds a listening socket on a port, as threads a stop abandoned would.
struct PortHolder {
  int fd = -1;
  explicit PortHolder(int port) {
    int error = 0;
    fd = net::create_listen_socket(error);
    if (fd >= 0 && !(net::bind_any(fd, port, error) && net::start_listening(fd, 4, error)))
      release();
  }
  ~PortHolder() { release(); }
  void release() {
    if (fd >= 0) net::close_socket(fd);
    fd = -1;
  }
};

struct RecordedMessage {
  std::string caption, text;
  MessageIcon icon;
};

class AdminSite {
 public:
  AdminSite();
  ~AdminSite();  // closes the window first, restores sinks and hooks

  const std::string& folder() const { return dir_.path(); }
  int port() const { return port_; }

  // One key of option.ini's section "Server"; fails the test when it
  // cannot be written.
  void set_option(const std::string& key, const std::string& value);
  // Whether a notification area exists, for windows opened afterwards.
  void set_tray(bool available);

  // Opens the window on the folder (replacing one opened before).
  CServerDlg& open(CServerDlg::Setup setup = CServerDlg::Setup());
  CServerDlg* window() const { return window_.get(); }
  void close_window();

  // Messages shown through message_box since the last take_messages().
  std::vector<RecordedMessage> take_messages();
  // How many are waiting (a server thread may still be about to add one).
  size_t message_count();

  // The next modal dialogs are handed to `hook` (see admin/dialog_seam.h);
  // an empty hook restores real modal loops.
  void on_dialog(std::function<void(QDialog&)> hook);

 private:
  // The environment of TestEnvironment, set through Qt: QtTest's watchdog
  // thread reads the environment under Qt's lock at the start of every test
  // function, and a plain setenv meanwhile may move it under that read.
  struct QtEnvironment {
    QtEnvironment();
    ~QtEnvironment();
    TempDir state, config;
  };
  QtEnvironment env_;
  TempDir dir_;
  PortReservation reserved_;  // kept for the site's life: restarts rebind it
  int port_ = 0;
  std::unique_ptr<CServerDlg> window_;
  std::mutex messages_lock_;  // guards messages_ (sinks run on any thread)
  std::vector<RecordedMessage> messages_;
};

// True when a client can connect to 127.0.0.1:port.
bool port_serves(int port);

}  // namespace tvl::test
