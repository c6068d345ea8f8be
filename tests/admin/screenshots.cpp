// Not a test: grabs the window offscreen for people to look at. Writes into
// the folder given as its argument: the main window on each tab (offline and
// online), the About dialog, the dialogs of the Rooms and Users pages, and
// the toolbar buttons in each state, enlarged.
// scripts/window-screenshots.sh builds and runs it.
#include <QApplication>
#include <QEnterEvent>
#include <QListWidget>
#include <QPainter>
#include <QTabWidget>
#include <cstdio>

#include "admin/about_dlg.h"
#include "admin/icon_button.h"
#include "admin/room_dlg.h"
#include "admin/user_dlg.h"
#include "admin/user_picker_dlg.h"
#include "platform/profile.h"
#include "admin/ip_address_dlg.h"
#include "admin/ip_filter_dlg.h"
#include "admin/log_page.h"
#include "admin/service_dlg.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;


namespace {

bool save(const QPixmap& shot, const QString& folder, const QString& name) {
  const QString path = folder + "/" + name + ".png";
  bool ok = shot.save(path);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
  return ok;
}

QImage button_image(CIconButton* b) {
  QImage img(b->size(), QImage::Format_ARGB32);
  img.fill(Qt::white);
  b->render(&img);
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s output-folder\n", argv[0]);
    return 2;
  }
  const QString out = argv[1];
  bool ok = true;
  tvl::test::AdminSite site;
  // A few members, so that the Users page and the picker show rows.
  const char* members[][3] = {{"ann", "0", "3.gif"}, {"bob", "1", "5.gif"}, {"carl", "2", ""}};
  for (const auto& m : members) {
    const std::string path = site.folder() + "users/" + m[0];
    bool written = tvl::write_profile_string("main", "password", "secret", path) &&
                   tvl::write_profile_string("main", "sex", m[1], path) &&
                   tvl::write_profile_string("main", "email", std::string(m[0]) + "@example.org", path);
    if (*m[2]) written = written && tvl::write_profile_string("main", "Icon", m[2], path);
    if (!written) {
      std::fprintf(stderr, "the members' profiles could not be written in %s\n", path.c_str());
      return 1;
    }
  }
  CServerDlg& w = site.open();
  w.resize(560, 420);
  // A few chat events on the log page.
  const char* events[][3] = {
      {"192.168.1.20", "14:02:11", "ann enters Lobby"},
      {"192.168.1.31", "14:02:40", "bob enters Lobby"},
      {"192.168.1.20", "14:03:02", "ann says to All: hello everybody, how are you today?"},
      {"10.0.0.7", "14:03:15", "guest_17 leaves Lobby"}};
  for (const auto& e : events) w.log_page()->add_row(e[0], e[1], e[2]);
  QApplication::processEvents();
  const char* names[] = {"options", "logs", "users", "rooms"};
  for (int i = 0; i < w.tabs()->count(); ++i) {
    w.tabs()->setCurrentIndex(i);
    QApplication::processEvents();
    ok &= save(w.grab(), out, QString("window-%1-offline").arg(names[i]));
  }
  w.tabs()->setCurrentIndex(0);
  w.start_server();
  QApplication::processEvents();
  ok &= save(w.grab(), out, "window-online");
  w.resize(400, 300);
  QApplication::processEvents();
  ok &= save(w.grab(), out, "window-small");
  w.stop_server();

  CAboutDlg about;
  about.show();
  QApplication::processEvents();
  ok &= save(about.grab(), out, "about");

  // The dialogs of the Rooms and Users pages, filled as for an edit.
  CRoomDlg room(w.controller().program_folder(), {"Staff", "admin,ann", false, true});
  CUserPickerDlg picker(w.controller().program_folder());
  CUserDlg user(w.controller().program_folder(), {"ann", "secret", "Female", "3.gif", "ann@example.org", "", false});
  const std::pair<QDialog*, const char*> dialogs[] = {
      {&room, "room-dialog"}, {&picker, "picker-dialog"}, {&user, "user-dialog"}};
  for (const auto& [dialog, name] : dialogs) {
    dialog->show();
    QApplication::processEvents();
    ok &= save(dialog->grab(), out, name);
  }
  // The options page's dialogs.
  CIpFilterDlg filter("10.0.0.12,192.168.1.", "127.0.0.1", site.folder(), 1);
  filter.show();
  filter.list()->setCurrentRow(0);
  QApplication::processEvents();
  ok &= save(filter.grab(), out, "ip-filter");
  CIpAddressDlg address("192.168.*.*");
  address.show();
  QApplication::processEvents();
  ok &= save(address.grab(), out, "ip-address");
  CServiceDlg service(w.controller(), site.folder());
  service.show();
  QApplication::processEvents();
  ok &= save(service.grab(), out, "service");

  // The toolbar buttons: resting, hovered (active window), pressed,
  // disabled; one row per button, four times the size.
  w.resize(560, 420);
  w.show();
  w.activateWindow();
  QApplication::setActiveWindow(&w);
  CIconButton* buttons[] = {w.start_button(), w.stop_button(), w.help_button(), w.about_button()};
  const QSize cell = w.start_button()->size();
  QImage sheet(cell.width() * 4 + 3 * 4, cell.height() * 4 + 3, QImage::Format_ARGB32);
  sheet.fill(Qt::white);
  {
    QPainter p(&sheet);
    for (int row = 0; row < 4; ++row) {
      CIconButton* b = buttons[row];
      b->setEnabled(true);
      QImage states[4];
      states[0] = button_image(b);
      QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
      QApplication::sendEvent(b, &enter);
      states[1] = button_image(b);
      b->setDown(true);
      states[2] = button_image(b);
      b->setDown(false);
      QEvent leave(QEvent::Leave);
      QApplication::sendEvent(b, &leave);
      b->setEnabled(false);
      states[3] = button_image(b);
      for (int col = 0; col < 4; ++col)
        p.drawImage(col * (cell.width() + 4), row * (cell.height() + 1), states[col]);
    }
  }
  ok &= save(QPixmap::fromImage(sheet.scaled(sheet.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation)),
             out, "toolbar-states");
  return ok ? 0 : 1;
}
