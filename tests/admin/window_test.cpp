// The main window: server states, start-up choices, keys, minimise, close.
#include <QAction>
#include <QMenu>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

#include "admin/about_dlg.h"
#include "admin/icon_button.h"
#include "admin/links.h"
#include "admin/message_sink.h"
#include "admin/rooms_page.h"
#include "admin/system_tray.h"
#include "chat/account_guard.h"
#include "chat/chat_state.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "ops/control_server.h"
#include "storage/room_store.h"
#include "tests/admin/admin_fixture.h"
#include "tests/support/child_process.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;
using tvl::test::port_serves;
using tvl::test::PortHolder;

namespace {

// What the window shows of the server's state.
struct Shown {
  bool start_enabled, stop_enabled;
  QString status;
  bool operator==(const Shown& o) const {
    return start_enabled == o.start_enabled && stop_enabled == o.stop_enabled && status == o.status;
  }
};
const Shown kOffline{true, false, CServerDlg::kOfflineText};
const Shown kOnline{false, true, CServerDlg::kOnlineText};

Shown shown(CServerDlg& w) {
  return {w.start_button()->isEnabled(), w.stop_button()->isEnabled(), w.status_text()};
}

QAction* find_action(QList<QAction*> actions, const QString& text) {
  for (QAction* a : actions) {
    if (a->text() == text) return a;
    if (a->menu())
      if (QAction* inner = find_action(a->menu()->actions(), text)) return inner;
  }
  return nullptr;
}

// tvlctl of the site's folder as a process, while this thread goes on
// serving the window's events (the window answers tvlctl on this thread).
tvl::test::Finished run_tvlctl(AdminSite& site, const std::vector<std::string>& args) {
  tvl::test::Finished result;
  std::atomic<bool> done{false};
  std::thread runner([&] {
    result = tvl::test::run_to_end(site.folder() + "tvlctl", args);  // bounded: killed after 30 s
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  runner.join();
  return result;
}

// The row numbers of the Rooms list whose name is `name`.
int rooms_listed(CServerDlg& w, const QString& name) {
  int n = 0;
  for (int i = 0; i < w.rooms_page()->model()->rowCount(); ++i)
    if (w.rooms_page()->model()->text(i, CRoomsPage::kName) == name) ++n;
  return n;
}

}  // namespace

namespace QTest {
template <>
char* toString(const Shown& s) {
  return qstrdup(QString("start %1, stop %2, \"%3\"")
                     .arg(s.start_enabled).arg(s.stop_enabled).arg(s.status).toUtf8());
}
}  // namespace QTest

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void state_table_data();
  void state_table();
  void busy_port_leaves_window_offline();
  void stop_that_is_not_clean_waits_for_the_port();
  void startup_choices_data();
  void startup_choices();
  void enter_and_escape_do_nothing();
  void minimise_data();
  void minimise();
  void ending_stops_the_server_data();
  void ending_stops_the_server();
  void commands_data();
  void commands();
  void tray_clicks_data();
  void tray_clicks();
  void tray_icon_lives_with_the_window();
  void window_texts();
  void guest_entry_toggles();
  void resizing_keeps_margins();
  void every_tab_list_paints();
  void help_without_pages_is_silent();
  void log_rows_never_wait_for_the_window();
  void messages_from_other_threads_are_posted();
  void tvlctl_reaches_the_running_window();
};

void WindowTest::state_table_data() {
  QTest::addColumn<QStringList>("commands");
  QTest::addColumn<bool>("running");
  QTest::newRow("nothing") << QStringList{} << false;
  QTest::newRow("start") << QStringList{"start"} << true;
  QTest::newRow("start twice") << QStringList{"start", "start"} << true;
  QTest::newRow("stop while offline") << QStringList{"stop"} << false;
  QTest::newRow("start, stop") << QStringList{"start", "stop"} << false;
  QTest::newRow("start, stop, stop") << QStringList{"start", "stop", "stop"} << false;
  QTest::newRow("start, stop, start") << QStringList{"start", "stop", "start"} << true;
}

// Every sequence of Start and Stop ends in exactly one of the two states, and
// the port serves exactly while the window says online.
void WindowTest::state_table() {
  QFETCH(QStringList, commands);
  QFETCH(bool, running);
  AdminSite site;
  CServerDlg& w = site.open();
  for (const QString& c : commands) {
    if (c == "start") w.start_server();
    else w.stop_server();
  }
  QCOMPARE(w.controller().is_running(), running);
  QCOMPARE(shown(w), running ? kOnline : kOffline);
  QCOMPARE(port_serves(site.port()), running);
  QVERIFY(site.take_messages().empty());
}

void WindowTest::busy_port_leaves_window_offline() {
  AdminSite site;
  CServerDlg& first = site.open();
  first.start_server();
  QVERIFY(first.controller().is_running());
  // A second chat engine on the same port: the bind fails.
  tvl::ChatEngine other;
  other.load(site.folder());
  QCOMPARE(other.start(site.port()), 0);
  // The accept thread shows the bind failure after Run has returned.
  QTRY_COMPARE_WITH_TIMEOUT(site.message_count(), size_t(1), tvl::test::kHangGuardMs);
  auto messages = site.take_messages();
  QCOMPARE(messages.size(), size_t(1));
  QCOMPARE(messages[0].caption, std::string("Tavella"));

  // And a window whose port is taken stays offline, adding no message.
  first.stop_server();
  tvl::ChatEngine holder;
  holder.load(site.folder());
  QCOMPARE(holder.start(site.port()), 1);
  CServerDlg& w = site.open();
  w.start_server();
  QCOMPARE(shown(w), kOffline);
  QVERIFY(!w.controller().is_running());
  // The server's own bind message.
  QTRY_COMPARE_WITH_TIMEOUT(site.message_count(), size_t(1), tvl::test::kHangGuardMs);
  holder.stop();
}

// A stop that had to abandon the server's threads claims neither state; Start
// comes back once the port is free, and then works.
void WindowTest::stop_that_is_not_clean_waits_for_the_port() {
  AdminSite site;
  std::unique_ptr<PortHolder> holder;
  CServerDlg::Setup setup;
  setup.shutdown = [&](tvl::ChatEngine& engine) {
    int clean = engine.stop();
    if (holder) return clean;  // only the first stop is forced
    holder = std::make_unique<PortHolder>(site.port());
    return 0;
  };
  CServerDlg& w = site.open(setup);
  w.start_server();
  w.stop_server();
  QVERIFY(holder && holder->fd >= 0);
  QCOMPARE(shown(w), (Shown{false, false, CServerDlg::kStuckText}));
  QVERIFY((w.controller().state() == tvl::ServerState::Stuck));
  w.start_server();  // ignored while the port may still be served
  w.stop_server();
  QCOMPARE(shown(w), (Shown{false, false, CServerDlg::kStuckText}));
  QVERIFY(site.take_messages().empty());

  holder->release();
  QTRY_COMPARE_WITH_TIMEOUT(shown(w), kOffline, tvl::test::kHangGuardMs);
  QVERIFY(!(w.controller().state() == tvl::ServerState::Stuck));
  w.start_server();
  QCOMPARE(shown(w), kOnline);
  QVERIFY(port_serves(site.port()));
  site.close_window();  // while the hook's holder still exists
}

void WindowTest::startup_choices_data() {
  QTest::addColumn<bool>("auto_active");
  QTest::addColumn<bool>("minimize");
  QTest::addColumn<bool>("tray");
  QTest::addColumn<bool>("ends_hidden");
  QTest::addColumn<bool>("ends_minimized");
  QTest::newRow("plain") << false << false << true << false << false;
  QTest::newRow("auto_active") << true << false << true << false << false;
  QTest::newRow("auto_active+minimize") << true << true << true << true << true;
  QTest::newRow("minimize") << false << true << true << true << true;
  QTest::newRow("auto_active+minimize, no tray") << true << true << false << false << true;
  QTest::newRow("minimize, no tray") << false << true << false << false << true;
}

void WindowTest::startup_choices() {
  QFETCH(bool, auto_active);
  QFETCH(bool, minimize);
  QFETCH(bool, tray);
  QFETCH(bool, ends_hidden);
  QFETCH(bool, ends_minimized);
  AdminSite site;
  site.set_option("AutoActive", auto_active ? "1" : "0");
  site.set_option("Minimize", minimize ? "1" : "0");
  site.set_tray(tray);
  CServerDlg& w = site.open();
  QCOMPARE(w.tray()->present(), tray);
  // Online at once, and shown (minimised when asked) before any hiding.
  QCOMPARE(w.controller().is_running(), auto_active);
  QCOMPARE(port_serves(site.port()), auto_active);
  QVERIFY(w.isVisible());
  QCOMPARE(w.isMinimized(), minimize);
  if (ends_hidden) {
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), tvl::test::kHangGuardMs);
    // The tray brings it back.
    QAction* show = find_action(w.tray()->menu()->actions(), "Show main window");
    QVERIFY(show);
    show->trigger();
    QVERIFY(w.isVisible());
    QVERIFY(!w.isMinimized());
  } else {
    // Well past the moment the hide would come.
    QTest::qWait(400);
    QVERIFY(w.isVisible());
    QCOMPARE(w.isMinimized(), ends_minimized);
  }
  QCOMPARE(w.controller().is_running(), auto_active);
}

void WindowTest::enter_and_escape_do_nothing() {
  AdminSite site;
  CServerDlg& w = site.open();
  w.start_server();
  QSignalSpy ended(&w, &CServerDlg::ended);
  QWidget* targets[] = {&w, w.tabs(), w.tabs()->currentWidget()};
  for (QWidget* target : targets) {
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(target, Qt::Key(key));
      QCoreApplication::processEvents();
    }
  }
  QVERIFY(w.isVisible());
  QCOMPARE(ended.count(), 0);
  QCOMPARE(shown(w), kOnline);
  QCOMPARE(w.tabs()->currentIndex(), 0);
}

void WindowTest::minimise_data() {
  QTest::addColumn<bool>("tray");
  QTest::newRow("with a tray: hidden") << true;
  QTest::newRow("without a tray: minimised") << false;
}

void WindowTest::minimise() {
  QFETCH(bool, tray);
  AdminSite site;
  site.set_tray(tray);
  CServerDlg& w = site.open();
  w.showMinimized();
  if (tray) {
    QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), tvl::test::kHangGuardMs);
    w.tray()->on_activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(w.isVisible());
    QVERIFY(!w.isMinimized());
  } else {
    QTest::qWait(100);
    QVERIFY(w.isVisible());
    QVERIFY(w.isMinimized());
  }
}

void WindowTest::ending_stops_the_server_data() {
  QTest::addColumn<QString>("how");
  QTest::newRow("title-bar close") << "close";
  QTest::newRow("menu Exit") << "menu";
  QTest::newRow("tray Exit") << "tray";
  QTest::newRow("Exit while hidden") << "hidden";
}

void WindowTest::ending_stops_the_server() {
  QFETCH(QString, how);
  AdminSite site;
  CServerDlg& w = site.open();
  QSignalSpy ended(&w, &CServerDlg::ended);
  w.start_server();
  QVERIFY(port_serves(site.port()));
  if (how == "close") {
    w.close();
  } else if (how == "menu") {
    find_action(w.menuBar()->actions(), "Exit")->trigger();
  } else {
    if (how == "hidden") w.hide();
    find_action(w.tray()->menu()->actions(), "Exit")->trigger();
  }
  QCOMPARE(ended.count(), 1);
  QVERIFY(!w.controller().is_running());
  QVERIFY(!port_serves(site.port()));
  QVERIFY(w.controller().engine().listen_problem(site.port()).empty());
}

void WindowTest::commands_data() {
  // Every source of a command reaches the same operation.
  QTest::addColumn<QString>("source");  // menu, tray, button
  QTest::addColumn<QString>("command");  // start, stop, help, about
  for (const char* source : {"menu", "tray", "button"})
    for (const char* command : {"start", "stop", "help", "about"})
      QTest::newRow(QByteArray(source) + " " + command) << QString(source) << QString(command);
}

void WindowTest::commands() {
  QFETCH(QString, source);
  QFETCH(QString, command);
  AdminSite site;
  std::vector<std::string> opened;
  set_link_opener([&](const std::string& target, int) {
    opened.push_back(target);
    return 33;
  });
  QStringList dialogs;
  site.on_dialog([&](QDialog& d) {
    dialogs << d.windowTitle();
    QVERIFY(qobject_cast<CAboutDlg*>(&d));
    d.accept();
  });
  CServerDlg& w = site.open();
  if (command == "stop") w.start_server();

  const QMap<QString, QString> menu_text{
      {"start", "Start Server"}, {"stop", "Stop Server"}, {"help", "Help"}, {"about", "About..."}};
  const QMap<QString, QString> tray_text{
      {"start", "Start Server"}, {"stop", "Stop Server"}, {"help", "Help..."}, {"about", "About..."}};
  const QMap<QString, CIconButton*> button{{"start", w.start_button()},
                                           {"stop", w.stop_button()},
                                           {"help", w.help_button()},
                                           {"about", w.about_button()}};
  if (source == "menu") {
    QAction* a = find_action(w.menuBar()->actions(), menu_text[command]);
    QVERIFY(a);
    a->trigger();
  } else if (source == "tray") {
    QAction* a = find_action(w.tray()->menu()->actions(), tray_text[command]);
    QVERIFY(a);
    a->trigger();
  } else {
    QTest::mouseClick(button[command], Qt::LeftButton);
  }
  set_link_opener(nullptr);

  QCOMPARE(shown(w), command == "start" ? kOnline : kOffline);
  QCOMPARE(opened, command == "help" ? std::vector<std::string>{site.folder() + "help/index.html"}
                                     : std::vector<std::string>{});
  QCOMPARE(dialogs, command == "about" ? QStringList{"About Tavella Server"} : QStringList{});
}

void WindowTest::tray_clicks_data() {
  QTest::addColumn<int>("reason");
  QTest::addColumn<bool>("shown");
  QTest::newRow("double-click restores") << int(QSystemTrayIcon::DoubleClick) << true;
  QTest::newRow("single click: nothing") << int(QSystemTrayIcon::Trigger) << false;
  QTest::newRow("right-click: only the menu") << int(QSystemTrayIcon::Context) << false;
  QTest::newRow("middle click: nothing") << int(QSystemTrayIcon::MiddleClick) << false;
}

void WindowTest::tray_clicks() {
  QFETCH(int, reason);
  QFETCH(bool, shown);
  AdminSite site;
  CServerDlg& w = site.open();
  w.showMinimized();
  QTRY_VERIFY_WITH_TIMEOUT(!w.isVisible(), tvl::test::kHangGuardMs);
  w.tray()->on_activated(QSystemTrayIcon::ActivationReason(reason));
  QCOMPARE(w.isVisible(), shown);
  if (shown) QVERIFY(!w.isMinimized());
}

// The icon exists while the window does, with its fixed tooltip and menu.
void WindowTest::tray_icon_lives_with_the_window() {
  AdminSite site;
  CServerDlg& w = site.open();
  QPointer<QSystemTrayIcon> icon = w.tray()->icon();
  QVERIFY(icon);
  QCOMPARE(icon->toolTip(), QString("Tavella Server"));
  QVERIFY(icon->contextMenu() == w.tray()->menu());
  QStringList items;
  for (QAction* a : w.tray()->menu()->actions()) items << (a->isSeparator() ? "-" : a->text());
  QCOMPARE(items, (QStringList{"Show main window", "-", "Start Server", "Stop Server", "-",
                               "About...", "Help...", "Exit"}));
  site.close_window();
  QVERIFY(!icon);
}

void WindowTest::window_texts() {
  AdminSite site;
  CServerDlg& w = site.open();
  QCOMPARE(w.windowTitle(), QString("Tavella Server v1.2 "));
  QStringList tabs;
  for (int i = 0; i < w.tabs()->count(); ++i) tabs << w.tabs()->tabText(i);
  QCOMPARE(tabs, (QStringList{"Options", "Logs", "Users", "Rooms"}));
  QStringList menus;
  for (QAction* m : w.menuBar()->actions()) {
    menus << m->text();
    for (QAction* a : m->menu()->actions()) menus << (a->isSeparator() ? "-" : a->text());
  }
  QCOMPARE(menus, (QStringList{"&Server", "Start Server", "Stop Server", "Close Guest Entry", "-",
                               "Exit", "&Help", "Help", "About..."}));
  QCOMPARE(w.start_button()->toolTip(), QString("Start the server"));
  QCOMPARE(w.stop_button()->toolTip(), QString("Stop the server"));
  QCOMPARE(w.help_button()->toolTip(), QString("Tavella Server Help"));
  QCOMPARE(w.about_button()->toolTip(), QString("About Tavella Server"));
  QVERIFY(!w.windowIcon().isNull());
}

// The Server menu's toggle closes and opens guest entry to the whole chat,
// and shows what tvlctl set behind it when the menu opens.
void WindowTest::guest_entry_toggles() {
  AdminSite site;
  CServerDlg& w = site.open();
  tvl::GuestEntry& entry = w.controller().engine().pages().context().guards->guests;
  QAction* toggle = find_action(w.menuBar()->actions(), "Close Guest Entry");
  QVERIFY(toggle && toggle->isCheckable());
  toggle->trigger();
  QVERIFY(toggle->isChecked());
  QVERIFY(entry.closed("Lobby"));
  toggle->trigger();
  QVERIFY(!entry.closed(""));

  entry.close("");  // as tvlctl guests close would
  QMenu* server = w.menuBar()->actions().first()->menu();
  emit server->aboutToShow();
  QVERIFY(toggle->isChecked());
  QVERIFY(entry.closed(""));  // showing it changed nothing
  entry.close("Lobby");
  toggle->trigger();
  QVERIFY(!entry.closed("Lobby"));
}

// A page that fills its list while it is being shown (the Users page reads
// the accounts then) leaves the list able to paint: it once stayed black.
void WindowTest::every_tab_list_paints() {
  AdminSite site;
  CServerDlg& w = site.open();
  for (int i = 0; i < w.tabs()->count(); ++i) {
    w.tabs()->setCurrentIndex(i);
    QApplication::processEvents();
    for (QTreeView* list : w.tabs()->widget(i)->findChildren<QTreeView*>())
      QVERIFY2(list->updatesEnabled(), qPrintable(w.tabs()->tabText(i)));
  }
}

// The tab control and the status line keep their distances to the right and
// bottom edges, the right panel its size; below the minimum nothing moves.
void WindowTest::resizing_keeps_margins() {
  AdminSite site;
  CServerDlg& w = site.open();
  QWidget* parts[] = {w.findChild<QWidget*>("tabs"), w.findChild<QWidget*>("status"),
                      w.findChild<QWidget*>("right_panel"), w.tabs()->currentWidget()};
  for (QWidget* p : parts) QVERIFY(p);
  auto layout_at = [&](QSize size) {
    w.resize(size);
    QCoreApplication::sendPostedEvents();
    w.centralWidget()->layout()->activate();
    QList<QRect> rects;
    for (QWidget* p : parts)
      rects << QRect(p->mapTo(w.centralWidget(), QPoint(0, 0)), p->size());
    return rects;
  };
  auto margins = [&](const QList<QRect>& r) {
    const QSize c = w.centralWidget()->size();
    QList<QPoint> m;
    for (const QRect& x : r) m << QPoint(c.width() - x.right(), c.height() - x.bottom());
    return m;
  };
  const QList<QRect> small = layout_at(QSize(500, 400));
  const QList<QPoint> small_margins = margins(small);
  const QList<QRect> big = layout_at(QSize(800, 650));
  QCOMPARE(margins(big), small_margins);
  QCOMPARE(big[0].topLeft(), small[0].topLeft());   // the tabs keep their corner
  QCOMPARE(big[1].left(), small[1].left());          // the status line its left edge
  QCOMPARE(big[2].size(), small[2].size());          // the right panel its size
  QCOMPARE(big[3].width() - small[3].width(), big[0].width() - small[0].width());
  QCOMPARE(big[3].height() - small[3].height(), big[0].height() - small[0].height());

  const QList<QRect> at_minimum = layout_at(w.minimumSizeHint());
  QCOMPARE(layout_at(QSize(200, 90)), at_minimum);
  QVERIFY(w.centralWidget()->height() > 100);
}

void WindowTest::help_without_pages_is_silent() {
  AdminSite site;
  std::remove((site.folder() + "help/index.html").c_str());
  int calls = 0;
  set_link_opener([&](const std::string&, int) { return ++calls, 33; });
  CServerDlg& w = site.open();
  w.on_help();
  set_link_opener(nullptr);
  QCOMPARE(calls, 0);
  QVERIFY(site.take_messages().empty());
}

// A client thread logs with the chat lock held while the user-interface
// thread is blocked on that very lock (as in a room reload): the thread must
// finish without the user-interface thread running, and the day's log gets
// its lines.
void WindowTest::log_rows_never_wait_for_the_window() {
  AdminSite site;
  site.set_option("Savelog", "1");
  CServerDlg& w = site.open();
  w.start_server();  // opens the day's log
  tvl::ChatState& state = w.controller().engine().state();
  std::atomic<int> logged{0};
  std::thread client;
  {
    tvl::ChatState::Hold chat(state);
    client = std::thread([&] {
      tvl::ChatState::Hold hold(state);
      for (int i = 0; i < 50; ++i) {
        w.controller().engine().log_chat_event("10.0.0.9", "12:00:00", "line " + std::to_string(i));
        ++logged;
      }
    });
  }
  client.join();  // no event processing on this thread meanwhile
  QCOMPARE(logged.load(), 50);
  std::string log;
  QVERIFY(tvl::read_whole_file(w.controller().engine().chat_log().path(), log));
  QVERIFY(log.find("10.0.0.9 12:00:00 line 0\r\n") != std::string::npos);
  QVERIFY(log.find("10.0.0.9 12:00:00 line 49\r\n") != std::string::npos);
}

// The window's message sink shows boxes on the user-interface thread; a
// thread holding a lock posts its message and goes on at once.
void WindowTest::messages_from_other_threads_are_posted() {
  AdminSite site;
  struct Box {
    QString caption, text;
    int icon;
    int buttons;
    bool on_ui_thread;
  };
  std::vector<Box> boxes;
  site.on_dialog([&](QDialog& d) {
    auto* box = qobject_cast<QMessageBox*>(&d);
    QVERIFY(box);
    boxes.push_back({box->windowTitle(), box->text(), int(box->icon()), int(box->standardButtons()),
                     QThread::currentThread() == qApp->thread()});
    box->accept();
  });
  install_window_message_sink();
  // The thread holds a lock across the call while this thread runs no
  // events: a call that waited for the box would never return.
  std::mutex chat_lock;
  std::thread other([&] {
    std::lock_guard<std::mutex> hold(chat_lock);
    tvl::message_box("Tavella", "from a client thread", tvl::MessageIcon::Error);
  });
  other.join();
  QVERIFY(boxes.empty());  // posted, not shown yet
  tvl::message_box("Tavella", "from the window", tvl::MessageIcon::Warning);
  QCOMPARE(boxes.size(), size_t(1));  // the window's own box shows at once
  QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), size_t(2), tvl::test::kHangGuardMs);
  tvl::set_message_sink(nullptr);
  QCOMPARE(boxes[0].text, QString("from the window"));
  QCOMPARE(boxes[0].icon, int(QMessageBox::Warning));
  QCOMPARE(boxes[1].caption, QString("Tavella"));
  QCOMPARE(boxes[1].text, QString("from a client thread"));
  QCOMPARE(boxes[1].icon, int(QMessageBox::Critical));
  for (const Box& b : boxes) {
    QCOMPARE(b.buttons, int(QMessageBox::Ok));
    QVERIFY(b.on_ui_thread);
  }
}

// While online the window answers tvlctl itself, on its own chat: a room
// added is on the next start page and in the Rooms list at once, a visitor
// is listed online; reload is refused with the reason. Stopped, the window
// leaves the socket and tvlctl works on the files.
void WindowTest::tvlctl_reaches_the_running_window() {
  AdminSite site;
  CServerDlg& w = site.open();
  w.start_server();
  tvl::test::Finished r = run_tvlctl(site, {"room", "add", "Garden", "--guests", "yes"});
  QCOMPARE(r.exit_code, 0);
  QCOMPARE(QString::fromStdString(r.out), QString("room Garden added\n"));
  const std::string start_page =
      tvl::test::http_exchange(site.port(), "GET /index.ghp HTTP/1.0\r\n\r\n", 3000);
  QVERIFY2(start_page.find("Garden") != std::string::npos, start_page.c_str());
  QCOMPARE(rooms_listed(w, "Garden"), 1);

  const std::string entered = tvl::test::http_exchange(
      site.port(), "GET /chat.ghp?username=gus&password=&room=1&sex=1 HTTP/1.0\r\n\r\n", 3000);
  QVERIFY2(entered.find("tvl-page\" content=\"chat\"") != std::string::npos, entered.c_str());
  r = run_tvlctl(site, {"online"});
  QCOMPARE(r.exit_code, 0);
  QVERIFY2(r.out.rfind("gus\t", 0) == 0, r.out.c_str());

  r = run_tvlctl(site, {"reload"});
  QCOMPARE(r.exit_code, 1);
  QVERIFY2(r.err.find("Restart") != std::string::npos, r.err.c_str());

  w.stop_server();
  QVERIFY(tvl::connect_control(tvl::control_socket_path()) < 0);
  r = run_tvlctl(site, {"room", "add", "Attic"});
  QCOMPARE(r.exit_code, 0);
  std::vector<tvl::RoomRow> rows;
  QVERIFY(tvl::list_room_rows(site.folder(), rows));
  QCOMPARE(rows.back().name, std::string("Attic"));
  QCOMPARE(rooms_listed(w, "Attic"), 0);  // nobody told the window
  QVERIFY(site.take_messages().empty());
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"

