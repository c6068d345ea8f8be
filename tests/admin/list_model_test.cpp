// The table model behind the Users and Rooms lists: what it holds after the
// accounts are read, what a change to users/ made behind the window's back
// shows once the page is shown again, and the kept order of added rows.
#include <QtTest>

#include "admin/list_model.h"
#include "admin/list_page.h"
#include "admin/rooms_page.h"
#include "admin/users_page.h"
#include "platform/fs.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;

namespace {

void account(AdminSite& site, const std::string& name, const std::string& lines) {
  tvl::write_whole_file(site.folder() + "users/" + name, "[main]\r\n" + lines);
}

// Every row as "text|text|...", read through the model's interface.
QStringList rows(const QAbstractItemModel& m) {
  QStringList out;
  for (int r = 0; r < m.rowCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < m.columnCount(); ++c) cells << m.index(r, c).data().toString();
    out << cells.join('|');
  }
  return out;
}

QString stored_name(const CListModel& m, int row) {
  return QString::fromStdString(
      m.index(row, CUsersPage::kName).data(CUsersPage::kFileRole).toByteArray().toStdString());
}

}  // namespace

class ListModelTest : public QObject {
  Q_OBJECT

 private slots:
  void users_after_reading_and_reshow();
  void rooms_share_the_model();
  void order_kept_by_append_data();
  void order_kept_by_append();
};

void ListModelTest::users_after_reading_and_reshow() {
  AdminSite site;
  account(site, "zed", "password=z\r\nSex=1\r\nEmail=z@x\r\n");
  account(site, "Ann", "password=a\r\nSex=0\r\nIcon=3.gif\r\n");
  account(site, "bob", "password=b\r\n");
  CUsersPage* page = site.open().users_page();
  const CListModel& m = *page->model();
  QCOMPARE(m.columnCount(), 7);
  QCOMPARE(m.headerData(CUsersPage::kDisabled, Qt::Horizontal, Qt::DisplayRole).toString(),
           QString("Disabled"));
  // Sorted by the folded name: "Ann" before "bob" although 'A' < 'b' < 'z'
  // holds for bytes too; "zed" last.
  QCOMPARE(rows(m), (QStringList{"Ann|set|Female|3.gif|||No", "bob|set|Confidential||||No", "zed|set|Male||z@x||No"}));
  QCOMPARE(stored_name(m, 0), QString("Ann"));
  QVERIFY(!m.index(0, CUsersPage::kName).data(Qt::DecorationRole).isNull());
  QVERIFY(m.index(0, CUsersPage::kEmail).data(Qt::DecorationRole).isNull());

  // Meanwhile over the web: "abe" registers, bob changes, zed goes.
  select_row(page->list(), 1);
  account(site, "abe", "password=e\r\n");
  account(site, "bob", "password=b2\r\nEmail=new@x\r\n");
  tvl::delete_file(site.folder() + "users/zed");
  QCOMPARE(m.rowCount(), 3);  // nothing is read until the page shows again
  page->hide();
  page->show();
  QCOMPARE(rows(m), (QStringList{"abe|set|Confidential||||No", "Ann|set|Female|3.gif|||No", "bob|set|Confidential||new@x||No"}));
  // The selected account stays selected at its new place.
  QCOMPARE(selected_row(page->list()), 2);
  QCOMPARE(stored_name(m, 2), QString("bob"));
}

void ListModelTest::rooms_share_the_model() {
  AdminSite site;
  CRoomsPage* page = site.open().rooms_page();
  const CListModel& m = *page->model();
  QCOMPARE(rows(m), (QStringList{"1|Lobby|admin|Yes|No", "2|Members|admin|No|No",
                                 "3|Staff|admin|No|Yes"}));
  QCOMPARE(m.index(2, CRoomsPage::kNo).data(CRoomsPage::kIdRole).toInt(), 3);
  QCOMPARE(m.index(1, CRoomsPage::kName).data(CRoomsPage::kBytesRole).toByteArray(),
           QByteArray("Members"));
}

void ListModelTest::order_kept_by_append_data() {
  QTest::addColumn<QStringList>("given");
  QTest::addColumn<QString>("added");
  QTest::addColumn<QStringList>("after");
  QTest::addColumn<int>("at");
  QTest::newRow("first") << QStringList{"b", "c"} << "a" << QStringList{"a", "b", "c"} << 0;
  QTest::newRow("middle") << QStringList{"a", "c"} << "b" << QStringList{"a", "b", "c"} << 1;
  QTest::newRow("last") << QStringList{"a", "b"} << "c" << QStringList{"a", "b", "c"} << 2;
  QTest::newRow("after its equal") << QStringList{"a", "b"} << "a" << QStringList{"a", "a", "b"} << 1;
  QTest::newRow("given unsorted") << QStringList{"c", "a"} << "b" << QStringList{"a", "b", "c"} << 1;
}

void ListModelTest::order_kept_by_append() {
  QFETCH(QStringList, given);
  QFETCH(QString, added);
  QFETCH(QStringList, after);
  QFETCH(int, at);
  CListModel m({"Name"}, QIcon(), nullptr);
  m.set_order([](const CListModel::Row& a, const CListModel::Row& b) { return a.texts[0] < b.texts[0]; });
  std::vector<CListModel::Row> start;
  for (const QString& t : given) start.push_back({{t}, {}});
  m.set_rows(std::move(start));
  QSignalSpy inserted(&m, &QAbstractItemModel::rowsInserted);
  QCOMPARE(m.append({{added}, {}}), at);
  QCOMPARE(inserted.count(), 1);
  QCOMPARE(inserted.first().at(1).toInt(), at);
  QCOMPARE(rows(m), after);
  m.remove(at);
  m.remove(99);  // out of range: nothing happens
  QCOMPARE(m.rowCount(), given.size());
}

QTEST_MAIN(ListModelTest)
#include "list_model_test.moc"

