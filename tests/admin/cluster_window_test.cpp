// The window as a node of a cluster: a private Redis, the window's program
// folder with [Cluster] Redis= and another node run as tvlService runs it
// (EngineObject) on its own folder. The Users and Rooms pages and the user
// picker act on the cluster's accounts and rooms, offline and online; a
// Redis that is away is told and changes nothing of the folder's files.
#include <QLineEdit>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include <functional>
#include <memory>

#include "admin/list_page.h"
#include "admin/room_dlg.h"
#include "admin/rooms_page.h"
#include "admin/user_dlg.h"
#include "admin/user_picker_dlg.h"
#include "admin/users_page.h"
#include "cluster/shared_accounts.h"
#include "cluster/shared_rooms.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "service/engine_object.h"
#include "storage/room_store.h"
#include "tests/admin/admin_fixture.h"
#include "tests/support/chat_over_http.h"
#include "tests/support/private_redis.h"

using namespace tvl;

using tvl::test::AdminSite;
using tvl::test::PrivateRedis;

namespace {

constexpr char kPassword[] = "pw";

// The window's option.ini names the cluster.
void join(AdminSite& site, const PrivateRedis& redis, const std::string& node) {
  const std::string ini = site.folder() + "option.ini";
  QVERIFY(write_profile_string("Cluster", "Redis", redis.socket_path(), ini));
  QVERIFY(write_profile_string("Cluster", "RedisPassword", kPassword, ini));
  QVERIFY(write_profile_string("Cluster", "Node", node, ini));
}

std::shared_ptr<RedisPool> pool_of(const PrivateRedis& redis) {
  RedisAddress address;
  if (!parse_redis_address(redis.socket_path(), address)) return nullptr;
  return std::make_shared<RedisPool>(address, kPassword, 2000);
}

// The rooms of `folder`'s rooms.sdb into the cluster.
bool import_rooms_of(const PrivateRedis& redis, const std::string& folder) {
  int moved = 0;
  bool kept = false;
  Reason why;
  return import_rooms(*pool_of(redis), folder, moved, kept, why) && moved > 0;
}

// Another node of the cluster, run as tvlService runs it.
class OtherNode {
 public:
  OtherNode(const PrivateRedis& redis, const std::string& node) {
    (void)test::write_chat_window_folder(
        folder_,
        std::string(test::kOpenOptions) + "ListenAddress=127.0.0.1\r\nport=" +
            std::to_string(port_.port()) + "\r\n" + redis.cluster_section(node),
        {test::open_room("One"), test::open_room("Two")});
    engine_.set_cluster_reports([](const std::string&) {});
    engine_.load(folder_.path());
  }
  bool start() { return engine_.start_chat_server(); }
  const std::string& folder() const { return folder_.path(); }
  AccountStore& accounts() { return *engine_.engine().pages().context().accounts; }
  RoomRecords& rooms() { return *engine_.engine().pages().context().rooms; }
  QStringList room_names() {
    std::vector<RoomRow> rows;
    QStringList out;
    if (rooms().list(rows))
      for (const RoomRow& r : rows) out << QString::fromStdString(r.name);
    return out;
  }

 private:
  test::TempDir folder_;
  test::PortReservation port_;
  EngineObject engine_;
};

QStringList column(QTreeView* list, int c) {
  QStringList out;
  for (int i = 0; i < list->model()->rowCount(); ++i)
    out << list->model()->index(i, c).data().toString();
  return out;
}

void select(QTreeView* list, int column_no, const QString& text) {
  const QStringList shown = column(list, column_no);
  select_row(list, static_cast<int>(shown.indexOf(text)));
}

// The next dialog of type Dlg gets `fill`, and OK.
template <class Dlg>
void answer(AdminSite& site, std::function<void(Dlg&)> fill) {
  site.on_dialog([fill](QDialog& d) {
    auto* dlg = qobject_cast<Dlg*>(&d);
    if (!dlg) return d.reject();
    fill(*dlg);
    dlg->accept();
  });
}
void answer_user(AdminSite& site, const QString& name, const QString& password) {
  answer<CUserDlg>(site, [=](CUserDlg& d) {
    d.name_edit()->setText(name);
    d.password_edit()->setText(password);
  });
}
void answer_room(AdminSite& site, const QString& name) {
  answer<CRoomDlg>(site, [=](CRoomDlg& d) { d.name_edit()->setText(name); });
}

// Whether some message since the last call holds `part`.
bool told(AdminSite& site, const std::string& part) {
  bool found = false;
  for (const auto& m : site.take_messages())
    if (m.text.find(part) != std::string::npos) found = true;
  return found;
}

MemberValues member(const std::string& password) {
  MemberValues v;
  v.password = password;
  v.email = "e@x";
  return v;
}

}  // namespace

class ClusterWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void pages_act_on_the_cluster_offline_and_online();
  void redis_away_is_told_and_changes_nothing();

 private:
  // Each case's private Redis, and the window's folder joined to it as
  // node "window".
  std::unique_ptr<PrivateRedis> redis_;
  std::unique_ptr<AdminSite> site_;
};

void ClusterWindowTest::init() {
  if (test::redis_server_program().empty()) QSKIP("redis-server is not installed");
  redis_ = std::make_unique<PrivateRedis>(kPassword);
  QVERIFY(redis_->start());
  site_ = std::make_unique<AdminSite>();
  join(*site_, *redis_, "window");
}

void ClusterWindowTest::cleanup() {
  site_.reset();
  redis_.reset();
}

void ClusterWindowTest::pages_act_on_the_cluster_offline_and_online() {
  PrivateRedis& redis = *redis_;
  AdminSite& site = *site_;
  OtherNode other(redis, "other");
  QVERIFY(other.start());

  // Offline, before the cluster holds rooms: the Rooms page says so and
  // does not show the folder's own rooms.sdb as the cluster's.
  CServerDlg& w = site.open();
  ServerController& controller = w.controller();
  QVERIFY(!controller.is_running());
  QVERIFY(controller.in_cluster());
  CUsersPage* users = w.users_page();
  CRoomsPage* rooms = w.rooms_page();
  QVERIFY(told(site, "holds no rooms yet"));
  QCOMPARE(rooms->model()->rowCount(), 0);
  QVERIFY(import_rooms_of(redis, other.folder()));
  rooms->fill();
  QCOMPARE(column(rooms->list(), CRoomsPage::kName), (QStringList{"One", "Two"}));

  // Offline: a user and a room added through the pages are the cluster's,
  // and the folder's files are untouched.
  answer_user(site, "Wanda", "wanda1");
  users->on_add();
  QCOMPARE(other.accounts().find("WANDA"), std::string("Wanda"));
  QVERIFY(other.accounts().password_matches("wanda", "wanda1"));
  QVERIFY(!is_regular_file(site.folder() + "users/Wanda"));
  answer_room(site, "Garden");
  rooms->on_add();
  QCOMPARE(other.room_names(), (QStringList{"One", "Two", "Garden"}));
  QVERIFY(site.take_messages().empty());

  // Changes made on the other node show in the window's lists and picker.
  QCOMPARE(other.accounts().add_member("Otto", member("otto1")), AccountChange::Written);
  int id = 0;
  Reason why;
  QVERIFY(other.rooms().add({"Cellar", "", true, false}, id, why));
  users->fill();
  QCOMPARE(column(users->list(), CUsersPage::kName), (QStringList{"Otto", "Wanda"}));
  rooms->fill();
  QCOMPARE(column(rooms->list(), CRoomsPage::kName),
           (QStringList{"One", "Two", "Garden", "Cellar"}));
  CUserPickerDlg picker(controller.accounts());
  QCOMPARE(picker.list()->topLevelItemCount(), 2);

  // Online the window is a node: its reports are rows of the log page, a member
  // of the cluster logs in through its server, and a change through the
  // pages holds on the other node.
  QSignalSpy rows(&controller, &ServerController::logRowAdded);
  w.start_server();
  QVERIFY(controller.is_running());
  QVERIFY(controller.cluster_node() != nullptr);
  const auto reported = [&rows] {
    for (const QList<QVariant>& row : rows)
      if (row[0].toString() == "Cluster" &&
          row[2].toString().contains("node window shares the chat through Redis"))
        return true;
    return false;
  };
  QTRY_VERIFY_WITH_TIMEOUT(reported(), test::kHangGuardMs);
  const std::string entered = test::http_exchange(
      site.port(), "GET /chat.ghp?username=Otto&password=otto1&room=1&sex=1 HTTP/1.0\r\n\r\n");
  QVERIFY2(entered.find("<BODY bgcolor=\"#EBEBD6\">") == std::string::npos, entered.c_str());
  select(users->list(), CUsersPage::kName, "Wanda");
  users->on_delete();
  QVERIFY(other.accounts().find("wanda").empty());
  select(rooms->list(), CRoomsPage::kName, "Cellar");
  rooms->on_delete();
  QCOMPARE(other.room_names(), (QStringList{"One", "Two", "Garden"}));

  // Offline again the pages stay on the cluster.
  controller.stop();
  QVERIFY(!controller.is_running());
  QVERIFY(controller.cluster_node() == nullptr);
  QCOMPARE(other.accounts().add_member("Pia", member("pia1")), AccountChange::Written);
  users->fill();
  QCOMPARE(column(users->list(), CUsersPage::kName), (QStringList{"Otto", "Pia"}));
  rooms->fill();
  QCOMPARE(column(rooms->list(), CRoomsPage::kName), (QStringList{"One", "Two", "Garden"}));
}

void ClusterWindowTest::redis_away_is_told_and_changes_nothing() {
  PrivateRedis& redis = *redis_;
  AdminSite& site = *site_;
  QVERIFY(import_rooms_of(redis, site.folder()));
  QCOMPARE(SharedAccounts(pool_of(redis)).add_member("Otto", member("otto1")),
           AccountChange::Written);
  CServerDlg& w = site.open();
  ServerController& controller = w.controller();
  CUsersPage* users = w.users_page();
  CRoomsPage* rooms = w.rooms_page();
  QCOMPARE(column(users->list(), CUsersPage::kName), QStringList{"Otto"});
  const QStringList room_rows = column(rooms->list(), CRoomsPage::kName);
  QVERIFY(!room_rows.isEmpty());
  std::vector<RoomInfo> file_rooms_before;
  read_rooms(site.folder(), file_rooms_before);
  QVERIFY(site.take_messages().empty());

  redis.stop();
  const std::string away = "cannot be reached";
  // The lists are not read: they stay as they were, and say why.
  users->fill();
  QVERIFY(told(site, away));
  QCOMPARE(column(users->list(), CUsersPage::kName), QStringList{"Otto"});
  rooms->fill();
  QVERIFY(told(site, away));
  QCOMPARE(column(rooms->list(), CRoomsPage::kName), room_rows);

  // Changes are told as Redis away (not as a bad name), and nothing goes
  // to the folder's files instead.
  answer_user(site, "Wanda", "wanda1");
  users->on_add();
  std::vector<test::RecordedMessage> said = site.take_messages();
  QCOMPARE(said.size(), size_t(1));
  QVERIFY2(said[0].text.find(away) != std::string::npos, said[0].text.c_str());
  QVERIFY(!is_regular_file(site.folder() + "users/Wanda"));
  QCOMPARE(users->model()->rowCount(), 1);
  select(users->list(), CUsersPage::kName, "Otto");
  users->on_delete();
  QVERIFY(told(site, away));
  QCOMPARE(users->model()->rowCount(), 1);
  bool edit_opened = false;
  site.on_dialog([&](QDialog& d) {
    edit_opened = true;
    d.reject();
  });
  users->on_edit();
  QVERIFY(told(site, away));
  QVERIFY(!edit_opened);  // no dialog filled with values nobody could read

  answer_room(site, "Garden");
  rooms->on_add();
  QVERIFY(told(site, away));
  select(rooms->list(), CRoomsPage::kName, room_rows.front());
  rooms->on_delete();
  QVERIFY(told(site, away));
  QCOMPARE(column(rooms->list(), CRoomsPage::kName), room_rows);
  std::vector<RoomInfo> file_rooms_after;
  read_rooms(site.folder(), file_rooms_after);
  QCOMPARE(file_rooms_after.size(), file_rooms_before.size());

  // The picker lists nobody rather than part of a list, and says why.
  CUserPickerDlg picker(controller.accounts());
  QCOMPARE(picker.list()->topLevelItemCount(), 0);
  QVERIFY(told(site, away));

  // Back again, the pages read the cluster as before.
  QVERIFY(redis.start());
  users->fill();
  QCOMPARE(users->model()->rowCount(), 0);  // Redis came back empty
  QVERIFY(site.take_messages().empty());
}

QTEST_MAIN(ClusterWindowTest)
#include "cluster_window_test.moc"
