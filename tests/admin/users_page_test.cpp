// The Users page and the user dialog, on a program folder with accounts
// under users/: the files afterwards (read with the profile module), logins
// through a running server, renames, case-blind names and the messages.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QtTest>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "admin/list_model.h"
#include "admin/list_page.h"
#include "admin/user_dlg.h"
#include "admin/users_page.h"
#include "storage/password_hash.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "tests/admin/admin_fixture.h"

using tvl::test::AdminSite;

namespace {

using Fill = std::function<void(CUserDlg&)>;

// The user dialog gets `fill` and OK; what it showed when it opened is kept.
struct Opened {
  QString title, name, gender, icon;
  bool disabled = false;
};

void answer_users(AdminSite& site, Fill fill, Opened* opened = nullptr) {
  site.on_dialog([fill, opened](QDialog& d) {
    auto* dlg = qobject_cast<CUserDlg*>(&d);
    if (!dlg) return d.reject();
    if (opened)
      *opened = {dlg->windowTitle(), dlg->name_edit()->text(), dlg->gender_list()->currentText(),
                 dlg->icon_list()->currentText(), dlg->disabled_box()->isChecked()};
    if (fill) fill(*dlg);
    dlg->accept();
  });
}

Fill new_user(const QString& name, const QString& password, int gender, const QString& icon) {
  return [=](CUserDlg& d) {
    d.name_edit()->setText(name);
    d.password_edit()->setText(password);
    d.gender_list()->setCurrentIndex(gender);
    d.icon_list()->setCurrentIndex(d.icon_list()->findText(icon));
    d.email_edit()->setText(name + "@x");
    d.profile_edit()->setText("about " + name);
  };
}

std::string value(AdminSite& site, const std::string& name, const std::string& key) {
  return tvl::get_profile_string("main", key, "<none>", 256, site.folder() + "users/" + name);
}

bool exists(AdminSite& site, const std::string& name) {
  return tvl::is_regular_file(site.folder() + "users/" + name);
}

void account(AdminSite& site, const std::string& name, const std::string& lines) {
  tvl::write_whole_file(site.folder() + "users/" + name, "[main]\r\n" + lines);
}

int count(QTreeView* list) { return list->model()->rowCount(); }

QStringList row_texts(QTreeView* list, int row) {
  QStringList out;
  for (int c = 0; row >= 0 && c < list->model()->columnCount(); ++c)
    out << list->model()->index(row, c).data().toString();
  return out;
}

// The row showing `name`; -1 when none does.
int row_named(QTreeView* list, const QString& name) {
  for (int i = 0; i < count(list); ++i)
    if (list->model()->index(i, CUsersPage::kName).data().toString() == name) return i;
  return -1;
}

void select(QTreeView* list, const QString& name) { select_row(list, row_named(list, name)); }

// What a visitor gets when entering room 1 with this name and password.
std::string enter(AdminSite& site, const std::string& name, const std::string& password) {
  return tvl::test::http_exchange(site.port(), "GET /chat.ghp?username=" + name + "&password=" +
                                                   password + "&room=1&sex=1 HTTP/1.0\r\n\r\n");
}
bool refused(const std::string& answer) {
  return answer.find("<BODY bgcolor=\"#EBEBD6\">") != std::string::npos;
}

std::vector<std::string> texts(std::vector<tvl::test::RecordedMessage> messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) {
    if (m.caption != "Tavella") out.push_back("caption " + m.caption);
    out.push_back(m.text);
  }
  return out;
}

const char kExists[] = "This username already exist!";
const char kBadName[] = "invalid character in Username !";

}  // namespace

class UsersPageTest : public QObject {
  Q_OBJECT

 private slots:
  void listing();
  void added_account_logs_in_at_once();
  void add_refusals_data();
  void add_refusals();
  void edits_data();
  void edits();
  void delete_and_selection();
  void name_that_is_not_utf8_is_kept();
  void dialog_lists_and_images_folder();
  void web_changes_show_and_are_not_overwritten();
};

// An account registered or changed over the web while the window is open:
// the page lists it when shown again, and Edit starts from the file.
void UsersPageTest::web_changes_show_and_are_not_overwritten() {
  AdminSite site;
  account(site, "ann", "password=a\r\nemail=old@x\r\n");
  CUsersPage* page = site.open().users_page();
  QCOMPARE(count(page->list()), 1);
  account(site, "zoe", "password=z\r\n");
  account(site, "ann", "password=newer\r\nemail=new@x\r\n");
  page->hide();
  page->show();
  QCOMPARE(count(page->list()), 2);
  QVERIFY(row_named(page->list(), "zoe") >= 0);
  account(site, "ann", "password=newest\r\nemail=newest@x\r\n");  // after the list was read
  select(page->list(), "ann");
  QString email_shown;
  QString password_shown = "x";
  answer_users(site, [&](CUserDlg& d) {
    email_shown = d.email_edit()->text();
    password_shown = d.password_edit()->text();
  });
  page->on_edit();
  QVERIFY(site.take_messages().empty());
  QCOMPARE(email_shown, QString("newest@x"));
  QCOMPARE(password_shown, QString());
  QVERIFY(tvl::password_matches(value(site, "ann", "password"), "newest"));
  QCOMPARE(QString::fromStdString(value(site, "ann", "email")), QString("newest@x"));
}

void UsersPageTest::listing() {
  AdminSite site;
  account(site, "ann", "password=a\r\nSex=0\r\nIcon=3.gif\r\nEmail=ann@x\r\nProfile=hi\r\n");
  account(site, "bob", "password=b\r\nsex=7\r\nDisabled=no\r\n");
  account(site, "nopw", "sex=1\r\n");
  CUsersPage* page = site.open().users_page();
  QCOMPARE(count(page->list()), 2);
  QCOMPARE(row_texts(page->list(), row_named(page->list(), "ann")),
           (QStringList{"ann", "set", "Female", "3.gif", "ann@x", "hi", "No"}));
  QCOMPARE(row_texts(page->list(), row_named(page->list(), "bob")),
           (QStringList{"bob", "set", "", "", "", "", "no"}));
}

void UsersPageTest::added_account_logs_in_at_once() {
  AdminSite site;
  CServerDlg& w = site.open();
  w.start_server();
  QVERIFY(refused(enter(site, "newbie", "pw")));
  answer_users(site, new_user("newbie", "pw", 1, "3.gif"));
  w.users_page()->on_add();
  QVERIFY(site.take_messages().empty());
  QTreeView* list = w.users_page()->list();
  const QModelIndex row = list->currentIndex();
  QVERIFY(row.isValid() && list->selectionModel()->isRowSelected(row.row(), QModelIndex()));
  QCOMPARE(row_texts(list, row.row()),
           (QStringList{"newbie", "set", "Male", "3.gif", "newbie@x", "about newbie", "No"}));
  std::string file;
  QVERIFY(tvl::read_whole_file(site.folder() + "users/newbie", file));
  const std::string hashed = value(site, "newbie", "password");
  QVERIFY(tvl::password_is_hashed(hashed));
  QCOMPARE(QString::fromStdString(file),
           QString::fromStdString("[main]\r\npassword=" + hashed + "\r\nsex=1\r\nIcon=3.gif\r\nemail=newbie@x\r\n"
                   "Profile=about newbie\r\nDisabled=No\r\n"));
  QVERIFY(!refused(enter(site, "newbie", "pw")));
  const std::string wrong = enter(site, "newbie", "wrong");
  QVERIFY2(refused(wrong), wrong.c_str());
}

void UsersPageTest::add_refusals_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("message");
  QTest::newRow("same name") << "ann" << kExists;
  QTest::newRow("other case") << "ANN" << kExists;
  QTest::newRow("account without password") << "NoPw" << kExists;
  QTest::newRow("empty") << "" << kBadName;
  QTest::newRow("slash") << "a/b" << kBadName;
  QTest::newRow("backslash") << "a\\b" << kBadName;
  QTest::newRow("dots") << ".." << kBadName;
  QTest::newRow("angle") << "<b>" << kBadName;
  QTest::newRow("quote") << "o'neil" << kBadName;
  QTest::newRow("double quote") << "a\"b" << kBadName;
  QTest::newRow("ampersand") << "a&b" << kBadName;
  QTest::newRow("control byte") << "a\tb" << kBadName;
  QTest::newRow("64 bytes") << QString(64, 'x') << kBadName;
  QTest::newRow("63 bytes") << QString(63, 'x') << "";
}

// A refused add touches no file and adds no row.
void UsersPageTest::add_refusals() {
  QFETCH(QString, name);
  QFETCH(QString, message);
  AdminSite site;
  account(site, "ann", "password=a\r\n");
  account(site, "nopw", "sex=1\r\n");
  CUsersPage* page = site.open().users_page();
  answer_users(site, new_user(name, "pw", 0, "1.gif"));
  page->on_add();
  const auto shown = texts(site.take_messages());
  QCOMPARE(QString::fromStdString(value(site, "ann", "password")), QString("a"));
  if (message.isEmpty()) {
    QVERIFY(shown.empty());
    QCOMPARE(count(page->list()), 2);
    QVERIFY(exists(site, name.toStdString()));
    return;
  }
  QCOMPARE(shown, std::vector<std::string>{message.toStdString()});
  QCOMPARE(count(page->list()), 1);
  QCOMPARE(tvl::find_files(site.folder() + "users/*").size(), size_t(2));
}

void UsersPageTest::edits_data() {
  QTest::addColumn<QString>("edited");   // the row edited
  QTest::addColumn<QStringList>("fill");  // name, or empty to keep it; then "female"/"icon" tweaks
  QTest::addColumn<QString>("message");
  QTest::addColumn<QStringList>("row");    // the row afterwards
  QTest::addColumn<QStringList>("files");  // users/ afterwards, sorted
  QTest::newRow("female, unchanged")
      << "ann" << QStringList{} << ""
      << QStringList{"ann", "set", "Female", "3.gif", "ann@x", "hi", "No"} << QStringList{"ann", "bob"};
  QTest::newRow("case only: file and row keep the old spelling")
      << "ann" << QStringList{"ANN"} << ""
      << QStringList{"ann", "set", "Female", "3.gif", "ann@x", "hi", "No"} << QStringList{"ann", "bob"};
  QTest::newRow("rename writes the new file and removes the old")
      << "ann" << QStringList{"anne", "disable"} << ""
      << QStringList{"anne", "set", "Female", "3.gif", "ann@x", "hi", "Yes"} << QStringList{"anne", "bob"};
  QTest::newRow("rename onto another account")
      << "ann" << QStringList{"Bob"} << kExists
      << QStringList{"ann", "set", "Female", "3.gif", "ann@x", "hi", "No"} << QStringList{"ann", "bob"};
  QTest::newRow("rename to a refused name")
      << "ann" << QStringList{"an/n"} << kBadName
      << QStringList{"ann", "set", "Female", "3.gif", "ann@x", "hi", "No"} << QStringList{"ann", "bob"};
  QTest::newRow("no icon chosen keeps the row's icon; no gender gives 2")
      << "bob" << QStringList{"", "no icon", "no gender"} << ""
      << QStringList{"bob", "set", "Confidential", "12.gif", "", "", "No"} << QStringList{"ann", "bob"};
}

void UsersPageTest::edits() {
  QFETCH(QString, edited);
  QFETCH(QStringList, fill);
  QFETCH(QString, message);
  QFETCH(QStringList, row);
  QFETCH(QStringList, files);
  AdminSite site;
  account(site, "ann", "password=a\r\nsex=0\r\nIcon=3.gif\r\nemail=ann@x\r\nProfile=hi\r\n");
  account(site, "bob", "password=b\r\nsex=1\r\nIcon=12.gif\r\n");
  CServerDlg& w = site.open();
  CUsersPage* page = w.users_page();
  select(page->list(), edited);
  Opened opened;
  answer_users(
      site,
      [fill](CUserDlg& d) {
        if (!fill.value(0).isEmpty()) d.name_edit()->setText(fill.value(0));
        if (fill.contains("disable")) d.disabled_box()->setChecked(true);
        if (fill.contains("no icon")) d.icon_list()->setCurrentIndex(-1);
        if (fill.contains("no gender")) d.gender_list()->setCurrentIndex(-1);
      },
      &opened);
  page->on_edit();

  QCOMPARE(opened.title, QString("Edit user"));
  QCOMPARE(opened.name, edited);
  if (edited == "ann") {
    QCOMPARE(opened.gender, QString("Famale"));
    QCOMPARE(opened.icon, QString("3.gif"));
  } else {
    QCOMPARE(opened.gender, QString("Male"));
    QCOMPARE(opened.icon, QString("12.gif"));
  }
  QCOMPARE(texts(site.take_messages()),
           message.isEmpty() ? std::vector<std::string>{} : std::vector<std::string>{message.toStdString()});
  QCOMPARE(count(page->list()), 2);
  QCOMPARE(row_texts(page->list(), selected_row(page->list())), row);
  QStringList on_disk;
  for (const std::string& f : tvl::find_files(site.folder() + "users/*")) on_disk << QString::fromStdString(f);
  on_disk.sort();
  QCOMPARE(on_disk, files);
  // The file holds what the row shows (bob was not touched by ann's edits).
  const std::string name = row.value(0).toStdString();
  // The dialog's password was left empty: the stored one stays.
  QVERIFY(tvl::password_matches(value(site, name, "password"), edited == "ann" ? "a" : "b"));
  QCOMPARE(row.value(1), QString("set"));
  QCOMPARE(QString::fromStdString(value(site, name, "Icon")), row.value(3));
  QCOMPARE(QString::fromStdString(value(site, name, "Disabled")),
           message.isEmpty() ? row.value(6) : QString("<none>"));
  QCOMPARE(value(site, "bob", "password"), std::string("b"));
  if (edited == "ann" && message.isEmpty())
    QCOMPARE(value(site, name, "sex"), std::string("0"));  // "Famale" stores 0 again
}

void UsersPageTest::delete_and_selection() {
  AdminSite site;
  account(site, "ann", "password=a\r\n");
  CUsersPage* page = site.open().users_page();
  page->list()->clearSelection();
  page->on_delete();
  page->on_edit();
  QCOMPARE(texts(site.take_messages()), std::vector<std::string>{"Please select a user!"});
  QVERIFY(exists(site, "ann"));

  // A file that cannot be deleted keeps its row.
  tvl::delete_file(site.folder() + "users/ann");
  tvl::make_directory(site.folder() + "users/ann");
  select(page->list(), "ann");
  page->on_delete();
  QCOMPARE(count(page->list()), 1);
  rmdir((site.folder() + "users/ann").c_str());
  account(site, "ann", "password=a\r\n");
  page->on_delete();
  QCOMPARE(count(page->list()), 0);
  QVERIFY(!exists(site, "ann"));
  QVERIFY(site.take_messages().empty());
}

// A file named by hand in another code page: an edit that leaves the name
// as shown writes into that file, and Delete removes it.
void UsersPageTest::name_that_is_not_utf8_is_kept() {
  AdminSite site;
  const std::string latin1 = "caf\xe9";
  account(site, latin1, "password=a\r\n");
  CUsersPage* page = site.open().users_page();
  select_row(page->list(), 0);
  answer_users(site, [](CUserDlg& d) { d.password_edit()->setText("b"); });
  page->on_edit();
  QVERIFY(site.take_messages().empty());
  QCOMPARE(tvl::find_files(site.folder() + "users/*"), std::vector<std::string>{latin1});
  QVERIFY(tvl::password_matches(value(site, latin1, "password"), "b"));
  page->on_delete();
  QVERIFY(tvl::find_files(site.folder() + "users/*").empty());
}

void UsersPageTest::dialog_lists_and_images_folder() {
  AdminSite site;
  CServerDlg& w = site.open();
  tvl::write_whole_file(site.folder() + "images/Apple.gif", "GIF89a");
  CUserDlg add(w.controller().program_folder(), UserDlgValues());
  QCOMPARE(add.windowTitle(), QString("Add user"));
  QCOMPARE(add.gender_list()->currentIndex(), -1);
  QCOMPARE(add.icon_list()->currentIndex(), -1);
  QStringList genders, icons;
  for (int i = 0; i < add.gender_list()->count(); ++i) genders << add.gender_list()->itemText(i);
  for (int i = 0; i < add.icon_list()->count(); ++i) icons << add.icon_list()->itemText(i);
  QCOMPARE(genders, (QStringList{"Famale", "Male", "Confidential"}));
  QCOMPARE(icons.value(0), QString("1.gif"));
  QVERIFY(icons.contains("Apple.gif"));
  QStringList sorted = icons;
  std::sort(sorted.begin(), sorted.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  QCOMPARE(icons, sorted);

  // The first picture that begins with the row's text, ignoring case; a row
  // without a picture chooses none.
  QCOMPARE(CUserDlg(w.controller().program_folder(), {"x", "", "Male", "APP", "", "", false})
               .icon_list()->currentText(), QString("Apple.gif"));
  QCOMPARE(CUserDlg(w.controller().program_folder(), {"x", "", "Other", "", "", "", false})
               .icon_list()->currentIndex(), -1);
  QCOMPARE(CUserDlg(w.controller().program_folder(), {"x", "", "Other", "", "", "", false})
               .gender_list()->currentIndex(), 2);

  std::vector<std::string> opened;
  CUserDlg::set_folder_opener([&](const std::string& target) {
    opened.push_back(target);
    return 33;
  });
  add.on_browse_images();
  CUserDlg::set_folder_opener(nullptr);
  QCOMPARE(opened, std::vector<std::string>{site.folder() + "images"});
}

QTEST_MAIN(UsersPageTest)
#include "users_page_test.moc"
