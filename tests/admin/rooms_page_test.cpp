// The Rooms page and its dialogs, on a program folder with the shipped
// rooms.sdb (Lobby, Members, Staff): what the file holds afterwards, what a
// running server shows, the numbering, the administrators list and the
// messages.
#include <QCheckBox>
#include <QLineEdit>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>
#include <functional>

#include "admin/list_page.h"
#include "admin/room_dlg.h"
#include "admin/rooms_page.h"
#include "admin/user_picker_dlg.h"
#include "platform/profile.h"
#include "storage/record_file.h"
#include "storage/room_store.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;

namespace {

// What the room dialog is given: its fields are filled and OK pressed.
struct Answer {
  QString name;
  bool guest = true, admin_only = false;
  // Runs on the dialog before OK (e.g. the administrators list).
  std::function<void(CRoomDlg&)> more;
};

void answer_rooms(AdminSite& site, const Answer& a) {
  site.on_dialog([a](QDialog& d) {
    auto* dlg = qobject_cast<CRoomDlg*>(&d);
    if (!dlg) return d.reject();
    dlg->name_edit()->setText(a.name);
    dlg->guest_box()->setChecked(a.guest);
    dlg->admin_only_box()->setChecked(a.admin_only);
    if (a.more) a.more(*dlg);
    dlg->accept();
  });
}

QStringList column(QTreeView* list, int c) {
  QStringList out;
  for (int i = 0; i < list->model()->rowCount(); ++i)
    out << list->model()->index(i, c).data().toString();
  return out;
}

QStringList column(QTreeWidget* list, int c) {
  QStringList out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(c);
  return out;
}

QStringList file_rooms(const std::string& folder) {
  std::vector<tvl::RoomInfo> rooms;
  tvl::read_rooms(folder, rooms);
  QStringList out;
  for (const auto& r : rooms)
    out << QString("%1|%2|%3|%4").arg(r.name, r.admin).arg(r.guest).arg(r.admin_only);
  return out;
}

std::string get(int port, const std::string& path) {
  return tvl::test::http_exchange(port, "GET " + path + " HTTP/1.0\r\n\r\n");
}

bool guest_refused(int port, int room) {
  const std::string answer = get(port, "/chat.ghp?username=visitor" + std::to_string(room) +
                                           "&password=&room=" + std::to_string(room) + "&sex=1");
  return answer.find("Guest is not allowed to join this room") != std::string::npos;
}

void account(AdminSite& site, const std::string& name, const std::string& password,
             const std::string& email) {
  const std::string path = site.folder() + "users/" + name;
  if (!password.empty()) QVERIFY(tvl::write_profile_string("main", "password", password, path));
  QVERIFY(tvl::write_profile_string("main", "email", email, path));
}

const QStringList kShipped{"Lobby|admin|1|0", "Members|admin|0|0", "Staff|admin|0|1"};

}  // namespace

class RoomsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void changes_reach_file_and_running_server();
  void numbering_after_a_delete();
  void edit_of_a_room_deleted_meanwhile();
  void refusals_data();
  void refusals();
  void administrators_list_and_picker();
};

void RoomsPageTest::changes_reach_file_and_running_server() {
  AdminSite site;
  CServerDlg& w = site.open();
  w.start_server();
  QVERIFY(w.controller().is_running());
  CRoomsPage* page = w.rooms_page();
  QCOMPARE(column(page->list(), CRoomsPage::kName), (QStringList{"Lobby", "Members", "Staff"}));
  QVERIFY(get(site.port(), "/index.ghp").find("Garden") == std::string::npos);

  answer_rooms(site, {"Garden", false, false, [](CRoomDlg& d) { d.add_admins({"ann", "bob"}); }});
  page->on_add();
  QCOMPARE(file_rooms(site.folder()), kShipped + QStringList{"Garden|ann,bob|0|0"});
  const QModelIndex row = page->list()->currentIndex();
  QVERIFY(row.isValid() && page->list()->selectionModel()->isRowSelected(row.row(), QModelIndex()));
  const auto text = [&](int c) { return row.siblingAtColumn(c).data().toString(); };
  QCOMPARE(text(CRoomsPage::kNo), QString("4"));
  QCOMPARE(text(CRoomsPage::kAdmins), QString("ann,bob"));
  QCOMPARE(text(CRoomsPage::kGuest), QString("No"));
  QCOMPARE(row.siblingAtColumn(CRoomsPage::kNo).data(CRoomsPage::kIdRole).toInt(), 4);
  QVERIFY(get(site.port(), "/index.ghp").find("Garden") != std::string::npos);
  QVERIFY(guest_refused(site.port(), 4));

  // Guests let in by an edit: the next entry is admitted.
  answer_rooms(site, {"Garden", true, false, {}});
  page->on_edit();
  QCOMPARE(file_rooms(site.folder()).value(3), QString("Garden|ann,bob|1|0"));
  QCOMPARE(text(CRoomsPage::kGuest), QString("Yes"));
  QVERIFY(!guest_refused(site.port(), 4));

  // Deleting the Lobby: the others move up for the pages.
  select_row(page->list(), 0);
  page->on_delete();
  QCOMPARE(column(page->list(), CRoomsPage::kName), (QStringList{"Members", "Staff", "Garden"}));
  QCOMPARE(file_rooms(site.folder()),
           (QStringList{"Members|admin|0|0", "Staff|admin|0|1", "Garden|ann,bob|1|0"}));
  const std::string index = get(site.port(), "/index.ghp");
  QVERIFY(index.find("Lobby") == std::string::npos);
  QVERIFY(!guest_refused(site.port(), 3));
  QVERIFY(site.take_messages().empty());
}

// A new row is numbered row count + 1, even when that number is taken.
void RoomsPageTest::numbering_after_a_delete() {
  AdminSite site;
  CRoomsPage* page = site.open().rooms_page();
  select_row(page->list(), 1);
  page->on_delete();
  QCOMPARE(column(page->list(), CRoomsPage::kNo), (QStringList{"1", "3"}));
  answer_rooms(site, {"Garden", true, false, {}});
  page->on_add();
  QCOMPARE(column(page->list(), CRoomsPage::kNo), (QStringList{"1", "3", "3"}));
  QCOMPARE(column(page->list(), CRoomsPage::kName), (QStringList{"Lobby", "Staff", "Garden"}));
  QCOMPARE(file_rooms(site.folder()), (QStringList{"Lobby|admin|1|0", "Staff|admin|0|1", "Garden||1|0"}));
}

void RoomsPageTest::edit_of_a_room_deleted_meanwhile() {
  AdminSite site;
  CRoomsPage* page = site.open().rooms_page();
  {
    tvl::RecordFile f;
    QVERIFY(f.open(site.folder() + "rooms.sdb"));
    int32_t id = 2;
    QVERIFY(f.seek_key(0, &id));
    QVERIFY(f.delete_record());
  }
  select_row(page->list(), 1);
  answer_rooms(site, {"Renamed", true, true, {}});
  page->on_edit();
  QCOMPARE(column(page->list(), CRoomsPage::kName), (QStringList{"Lobby", "Members", "Staff"}));
  QCOMPARE(file_rooms(site.folder()), (QStringList{"Lobby|admin|1|0", "Staff|admin|0|1"}));
  QVERIFY(site.take_messages().empty());

  // A name stored in another code page stays as it is when only a flag
  // changes.
  {
    tvl::RecordFile f;
    QVERIFY(f.open(site.folder() + "rooms.sdb"));
    QVERIFY(f.set_field_text("Caf\xe9", "name"));
    QVERIFY(f.set_field_text("Jos\xe9", "admin"));
    QVERIFY(f.insert_record());
  }
  CRoomsPage* again = site.open().rooms_page();
  select_row(again->list(), 2);
  answer_rooms(site, {again->model()->text(2, CRoomsPage::kName), true, false, {}});
  again->on_edit();
  std::vector<tvl::RoomInfo> rooms;
  QVERIFY(tvl::read_rooms(site.folder(), rooms));
  QCOMPARE(rooms.size(), size_t(3));
  QCOMPARE(std::string(rooms[2].name), std::string("Caf\xe9"));
  QCOMPARE(std::string(rooms[2].admin), std::string("Jos\xe9"));
  QVERIFY(rooms[2].guest);
}

void RoomsPageTest::refusals_data() {
  QTest::addColumn<QString>("command");
  QTest::addColumn<int>("selected");
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("admins");
  QTest::addColumn<QString>("message");
  const QString n63(63, 'n'), a127 = QString(126, 'a') + ",";
  QTest::newRow("edit, nothing selected") << "edit" << -1 << "x" << "" << "Please select a room!";
  QTest::newRow("delete, nothing selected") << "delete" << -1 << "" << "" << "";
  QTest::newRow("add, empty name") << "add" << -1 << "" << "" << "The room name is empty!";
  QTest::newRow("edit, empty name") << "edit" << 0 << "" << "" << "The room name is empty!";
  QTest::newRow("add, name of 64") << "add" << -1 << n63 + "x" << ""
                                   << "The room name is longer than 63 characters!";
  QTest::newRow("edit, admins of 128")
      << "edit" << 0 << "Lobby" << a127 + "bb" << "The administrators are longer than 127 characters!";
  QTest::newRow("add, line break in the name")
      << "add" << -1 << "Two\nlines" << "" << "The room name or the administrators contain a control character!";
  QTest::newRow("add, tab in an administrator")
      << "add" << -1 << "Tabs" << "an\tn" << "The room name or the administrators contain a control character!";
}

// Refused values touch neither the file nor the list.
void RoomsPageTest::refusals() {
  QFETCH(QString, command);
  QFETCH(int, selected);
  QFETCH(QString, name);
  QFETCH(QString, admins);
  QFETCH(QString, message);
  AdminSite site;
  CRoomsPage* page = site.open().rooms_page();
  select_row(page->list(), selected);
  answer_rooms(site, {name, true, false, [admins](CRoomDlg& d) {
                        d.admins_list()->clear();
                        if (!admins.isEmpty()) d.add_admins({admins});
                      }});
  if (command == "add") page->on_add();
  else if (command == "edit") page->on_edit();
  else page->on_delete();
  auto messages = site.take_messages();
  if (message.isEmpty()) {
    QVERIFY(messages.empty());
  } else {
    QCOMPARE(messages.size(), size_t(1));
    QCOMPARE(QString::fromStdString(messages[0].text), message);
    QCOMPARE(messages[0].caption, std::string("Tavella"));
  }
  QCOMPARE(file_rooms(site.folder()), kShipped);
  QCOMPARE(column(page->list(), CRoomsPage::kName), (QStringList{"Lobby", "Members", "Staff"}));
  // The longest texts that fit are stored whole.
  if (command != "add" || !message.contains("63")) return;
  answer_rooms(site, {name.left(63), true, false, [](CRoomDlg& d) { d.add_admins({QString(127, 'a')}); }});
  page->on_add();
  QVERIFY(site.take_messages().empty());
  QCOMPARE(file_rooms(site.folder()).value(3), name.left(63) + "|" + QString(127, 'a') + "|1|0");
}

void RoomsPageTest::administrators_list_and_picker() {
  AdminSite site;
  account(site, "ann", "pw", "ann@x");
  account(site, "anna", "pw", "anna@x");
  account(site, "bob", "pw", "bob@x");
  account(site, "nopw", "", "nopw@x");
  CServerDlg& w = site.open();

  // A room with administrators opens as "Edit room"; without, as "Add room".
  CRoomDlg empty(w.controller().program_folder(), {"Lobby", "", true, false});
  QCOMPARE(empty.windowTitle(), QString("Add room"));
  CRoomDlg dlg(w.controller().program_folder(), {"Staff", "Anna,ANNA,,carl", false, true});
  QCOMPARE(dlg.windowTitle(), QString("Edit room"));
  QCOMPARE(column(dlg.admins_list(), 0), (QStringList{"Anna", "carl"}));
  QVERIFY(!dlg.guest_box()->isChecked());
  QVERIFY(dlg.admin_only_box()->isChecked());

  // The picker lists accounts with a password; ann and bob are chosen.
  QStringList listed;
  site.on_dialog([&](QDialog& d) {
    auto* picker = qobject_cast<CUserPickerDlg*>(&d);
    if (!picker) return d.reject();
    QCOMPARE(picker->windowTitle(), QString("Users list"));
    listed = column(picker->list(), 0);
    for (int i = 0; i < picker->list()->topLevelItemCount(); ++i) {
      QTreeWidgetItem* item = picker->list()->topLevelItem(i);
      item->setSelected(item->text(0) != "anna");
      QCOMPARE(item->text(1), item->text(0) + "@x");
    }
    picker->accept();
  });
  dlg.on_add_admins();
  QStringList sorted = listed;
  sorted.sort();
  QCOMPARE(sorted, (QStringList{"ann", "anna", "bob"}));
  // ann is skipped: "Anna" begins with it, whatever the case.
  QCOMPARE(column(dlg.admins_list(), 0), (QStringList{"Anna", "carl", "bob"}));

  // Delete removes the first selected row; OK joins the rest in list order.
  dlg.admins_list()->topLevelItem(1)->setSelected(true);
  dlg.admins_list()->topLevelItem(2)->setSelected(true);
  dlg.on_delete_admin();
  dlg.accept();
  QCOMPARE(QString::fromStdString(dlg.values().admin), QString("Anna,bob"));
  QCOMPARE(QString::fromStdString(dlg.values().name), QString("Staff"));

  // The picker's text: the chosen rows in list order, joined with ",".
  CUserPickerDlg picker(w.controller().program_folder());
  for (int i = 0; i < picker.list()->topLevelItemCount(); ++i)
    picker.list()->topLevelItem(i)->setSelected(true);
  picker.accept();
  QCOMPARE(QString::fromStdString(picker.result()), listed.join(','));
}

QTEST_MAIN(RoomsPageTest)
#include "rooms_page_test.moc"

