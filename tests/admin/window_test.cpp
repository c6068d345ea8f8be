// The main window: server states, start-up choices, keys, minimise, close.
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

#include "admin/icon_button.h"
#include "admin/system_tray.h"
#include "tests/admin/admin_fixture.h"

using tvl::test::AdminSite;
using tvl::test::port_serves;

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
  QCOMPARE(w.is_running(), running);
  QCOMPARE(shown(w), running ? kOnline : kOffline);
  QCOMPARE(port_serves(site.port()), running);
  QVERIFY(site.take_messages().empty());
}

void WindowTest::busy_port_leaves_window_offline() {
  AdminSite site;
  CServerDlg& first = site.open();
  first.start_server();
  QVERIFY(first.is_running());
  // A second chat engine on the same port: the bind fails.
  tvl::ChatEngine other;
  other.load(site.folder());
  QCOMPARE(other.start(site.port()), 0);
  // The accept thread shows the bind failure after Run has returned.
  QTRY_COMPARE(site.message_count(), size_t(1));
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
  QVERIFY(!w.is_running());
  QTRY_COMPARE(site.message_count(), size_t(1));  // the server's own bind message
  holder.stop();
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
