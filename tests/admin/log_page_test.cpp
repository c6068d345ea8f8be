// The log page: rows from client threads, the 1000-row rule, the context
// menu and its quick add to the IP lists, and a real client refused after
// its address went on the reject list from the menu.
#include <QMenu>
#include <QTreeView>
#include <QtTest>

#include <thread>
#include <vector>

#include "admin/log_model.h"
#include "admin/log_page.h"
#include "chat/chat_state.h"
#include "platform/fs.h"
#include "server/http_answers.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;
using tvl::test::file_text;

namespace {

QString row_text(CLogPage& page, int row, int column) {
  return page.model()->text(row, column);
}

void select_row(CLogPage& page, int row) {
  page.list()->setCurrentIndex(page.model()->index(row, 0));
}

}  // namespace

class LogPageTest : public QObject {
  Q_OBJECT

 private slots:
  void rows_from_threads_holding_the_chat_lock_arrive_in_order();
  void thousand_and_first_row_drops_the_oldest();
  void clear_all_empties_the_list_only();
  void menu_offers_three_items_at_the_mouse();
  void quick_add_appends_whole_entries_and_writes_the_file();
  void quick_add_without_selection_does_nothing();
  void client_refused_after_reject_from_the_menu();
};

void LogPageTest::rows_from_threads_holding_the_chat_lock_arrive_in_order() {
  AdminSite site;
  CServerDlg& w = site.open();
  constexpr int kThreads = 8, kRows = 120;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&w, t] {
      for (int i = 0; i < kRows; ++i) {
        // As the chat engine calls it: under the chat lock.
        tvl::ChatState::Hold hold(w.controller().engine().state());
        w.controller().engine().log_chat_event("10.0.0." + std::to_string(t), "12:00:00", std::to_string(i));
      }
    });
  // The user-interface thread runs no events meanwhile: a caller that
  // waited for it would never finish.
  for (std::thread& t : threads) t.join();
  CLogPage& page = *w.log_page();
  QTRY_COMPARE_WITH_TIMEOUT(page.model()->rowCount(), kThreads * kRows,
                            tvl::test::kHangGuardMs);
  std::vector<int> next(kThreads, 0);
  for (int r = 0; r < kThreads * kRows; ++r) {
    const int t = row_text(page, r, 0).section('.', 3).toInt();
    QCOMPARE(row_text(page, r, 2).toInt(), next[t]++);
    QCOMPARE(row_text(page, r, 1), QString("12:00:00"));
  }
}

void LogPageTest::thousand_and_first_row_drops_the_oldest() {
  AdminSite site;
  CLogPage& page = *site.open().log_page();
  for (int i = 1; i <= CLogPage::kMaxRows; ++i)
    page.add_row("10.0.0.1", "12:00:00", QString::number(i));
  QCOMPARE(page.model()->rowCount(), 1000);
  const QString next = "the next event, long enough to widen its column well beyond the header";
  page.add_row("10.0.0.2", "12:00:01", next);
  page.add_row("10.0.0.3", "12:00:02", "and one more");
  // The newest 1000 stay in arrival order: rows 1 and 2 went.
  QCOMPARE(page.model()->rowCount(), 1000);
  QCOMPARE(row_text(page, 0, 2), QString("3"));
  QCOMPARE(row_text(page, 997, 2), QString("1000"));
  QCOMPARE(row_text(page, 998, 0), QString("10.0.0.2"));
  QCOMPARE(row_text(page, 998, 2), next);
  QCOMPARE(row_text(page, 999, 0), QString("10.0.0.3"));
  // The sizing that follows within the event-loop turn fits the new text.
  QTRY_VERIFY_WITH_TIMEOUT(
      page.list()->columnWidth(2) >= page.list()->fontMetrics().horizontalAdvance(next),
      tvl::test::kHangGuardMs);
}

void LogPageTest::clear_all_empties_the_list_only() {
  AdminSite site;
  site.set_option("Savelog", "1");
  site.set_option("AutoActive", "1");
  CServerDlg& w = site.open();
  QVERIFY(w.controller().is_running());
  {
    tvl::ChatState::Hold hold(w.controller().engine().state());
    w.controller().engine().log_chat_event("10.0.0.1", "12:00:00", "kept in the file");
  }
  CLogPage& page = *w.log_page();
  QTRY_COMPARE_WITH_TIMEOUT(page.model()->rowCount(), 1, tvl::test::kHangGuardMs);
  page.clear_action()->trigger();
  QCOMPARE(page.model()->rowCount(), 0);
  w.stop_server();  // closes the day's file
  const std::vector<std::string> days = tvl::find_files(site.folder() + "log/*.txt");
  QCOMPARE(days.size(), size_t(1));
  QVERIFY(file_text(site.folder() + "log/" + days[0]).find("kept in the file") != std::string::npos);
}

void LogPageTest::menu_offers_three_items_at_the_mouse() {
  AdminSite site;
  CServerDlg& w = site.open();
  w.tabs()->setCurrentWidget(w.log_page());
  CLogPage& page = *w.log_page();
  QStringList items;
  for (QAction* a : page.context_menu()->actions()) items << a->text();
  QCOMPARE(items, QStringList({"Clear All", "Add this ip to IP filter(accept)",
                               "Add this ip to IP filter(reject)"}));
  // Opened on an empty list too, where the mouse was.
  const QPoint at(30, 20);
  emit page.list()->customContextMenuRequested(at);
  QTRY_VERIFY_WITH_TIMEOUT(page.context_menu()->isVisible(), tvl::test::kHangGuardMs);
  QCOMPARE(page.context_menu()->pos(), page.list()->viewport()->mapToGlobal(at));
  page.context_menu()->close();
}

void LogPageTest::quick_add_appends_whole_entries_and_writes_the_file() {
  struct Case {
    const char* name;
    bool accept;
    const char* before;  // nullptr: no list file
    const char* address;
    const char* after;  // the in-memory text and the file, byte for byte
  } cases[] = {
      {"empty accept list", true, nullptr, "10.0.0.1", ",10.0.0.1"},
      {"empty reject list", false, "", "10.0.0.1", ",10.0.0.1"},
      {"beside a longer address", true, "10.0.0.12", "10.0.0.1", "10.0.0.12,10.0.0.1"},
      {"beside a longer address (reject)", false, "10.0.0.12,192.168.1.5", "10.0.0.1",
       "10.0.0.12,192.168.1.5,10.0.0.1"},
      {"inside another address", true, "110.0.0.15", "10.0.0.1", "110.0.0.15,10.0.0.1"},
      {"already listed", false, "10.0.0.12,10.0.0.1", "10.0.0.1", "10.0.0.12,10.0.0.1"},
  };
  for (const Case& c : cases) {
    AdminSite site;
    const std::string file = site.folder() + (c.accept ? "acceptip.txt" : "rejectip.txt");
    const std::string other = site.folder() + (c.accept ? "rejectip.txt" : "acceptip.txt");
    tvl::delete_file(file);
    tvl::delete_file(other);
    if (c.before) QVERIFY(tvl::write_whole_file(file, c.before));
    CServerDlg& w = site.open();
    CLogPage& page = *w.log_page();
    page.add_row("10.9.9.9", "12:00:00", "other row");
    page.add_row(c.address, "12:00:01", "chosen row");
    select_row(page, 1);
    (c.accept ? page.accept_action() : page.reject_action())->trigger();
    const tvl::SharedText& list = c.accept ? w.controller().site_data().accept_list : w.controller().site_data().reject_list;
    QVERIFY2(*list.get() == c.after, c.name);
    QVERIFY2(file_text(file) == c.after, c.name);
    QVERIFY2(file_text(other) == "<missing>", c.name);
    QCOMPARE(w.controller().settings().filter_mode, 0);  // the mode stays
  }
}

void LogPageTest::quick_add_without_selection_does_nothing() {
  AdminSite site;
  tvl::delete_file(site.folder() + "acceptip.txt");
  CServerDlg& w = site.open();
  CLogPage& page = *w.log_page();
  page.add_row("10.0.0.1", "12:00:00", "row");
  page.list()->clearSelection();
  page.list()->setCurrentIndex(QModelIndex());
  page.accept_action()->trigger();
  QCOMPARE(*w.controller().site_data().accept_list.get(), std::string());
  QCOMPARE(file_text(site.folder() + "acceptip.txt"), std::string("<missing>"));
}

void LogPageTest::client_refused_after_reject_from_the_menu() {
  AdminSite site;
  tvl::delete_file(site.folder() + "rejectip.txt");
  site.set_option("FilterMode", "1");
  site.set_option("AutoActive", "1");
  CServerDlg& w = site.open();
  QVERIFY(w.controller().is_running());
  const std::string enter = "GET /chat.ghp?username=ann&password=&room=1&sex=1 HTTP/1.0\r\n\r\n";
  const std::string first = tvl::test::http_exchange(site.port(), enter);
  QVERIFY2(first.find(tvl::kIpRefusalBody) == std::string::npos, first.c_str());
  CLogPage& page = *w.log_page();
  QTRY_VERIFY_WITH_TIMEOUT(page.model()->rowCount() >= 1, tvl::test::kHangGuardMs);
  QCOMPARE(row_text(page, 0, 0), QString("127.0.0.1"));
  select_row(page, 0);
  page.reject_action()->trigger();
  QCOMPARE(file_text(site.folder() + "rejectip.txt"), std::string(",127.0.0.1"));
  const std::string second = tvl::test::http_exchange(site.port(), "GET / HTTP/1.0\r\n\r\n");
  QVERIFY2(second.find(tvl::kIpRefusalBody) != std::string::npos, second.c_str());
}

QTEST_MAIN(LogPageTest)
#include "log_page_test.moc"

