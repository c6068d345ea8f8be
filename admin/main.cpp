// Tavella: the desktop program. The window owns the chat server while it
// runs; closing it (or Exit, or SIGTERM/SIGINT, handled as Exit) stops the
// server and ends the program.
#include <QApplication>

#include "admin/message_sink.h"
#include "admin/server_dlg.h"
#include "admin/term_signal.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tavella");
  // The window hides to the tray and message boxes come and go while it is
  // hidden; only the window's end ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  tvl::install_window_message_sink();

  int status = 0;
  {
    tvl::CServerDlg window;
    QObject::connect(&window, &tvl::CServerDlg::ended, &app, &QApplication::quit);
    tvl::watch_term_signals(&window, [&window] { window.on_exit(); });
    status = QApplication::exec();
  }
  tvl::set_message_sink(nullptr);
  return status;
}
