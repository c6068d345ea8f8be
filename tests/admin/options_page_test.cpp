// The options page, the IP Filter and address dialogs and the Service
// dialog, driven through the dialog seam on a window of its own folder.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include <chrono>
#include <thread>

#include "admin/dialog_seam.h"
#include "admin/ip_address_dlg.h"
#include "admin/ip_filter_dlg.h"
#include "admin/links.h"
#include "admin/options_page.h"
#include "admin/service_dlg.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;
using tvl::test::file_text;
using tvl::test::port_serves;

namespace {

std::string option(const AdminSite& site, const char* key) {
  return tvl::get_profile_string("Server", key, "<none>", 256, site.folder() + "option.ini");
}

QStringList shown(const CIpFilterDlg& dlg) {
  QStringList rows;
  for (int i = 0; i < dlg.list()->count(); ++i) rows << dlg.list()->item(i)->text();
  return rows;
}

// Answers the next address dialog with `address` typed into its boxes.
void answer_address(QDialog& d, const QString& address) {
  auto* ask = qobject_cast<CIpAddressDlg*>(&d);
  QVERIFY(ask);
  const QStringList parts = address.split('.');
  for (int i = 0; i < 4; ++i) {
    ask->part(i)->clear();
    QTest::keyClicks(ask->part(i), parts.value(i));
  }
  ask->accept();
}

void set_port_box(COptionsPage& page, const QString& text) {
  page.port_box()->selectAll();
  QTest::keyClick(page.port_box(), Qt::Key_Backspace);
  QTest::keyClicks(page.port_box(), text);
}

}  // namespace

class OptionsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void address_boxes_filter_keys();
  void filter_dialog_keeps_both_lists_across_modes();
  void filter_dialog_add_edit_delete();
  void filter_dialog_ok_writes_lists_and_settings();
  void url_list_port_suffix();
  void page_lists_this_machine_loopback_last();
  void check_box_stores_typed_port_until_restart();
  void empty_port_box_keeps_the_old_values();
  void service_buttons_run_the_service_program();
  void go_and_log_folder_open_links();
};

void OptionsPageTest::address_boxes_filter_keys() {
  struct Case {
    int box;
    const char* typed;
    const char* kept;
  } cases[] = {
      {0, "1a9", "19"},   {0, "1*2", "12"},   {1, "3.4", "34"},   {0, "12345", "123"},
      {2, "1*x", "1*"},   {3, "*", "*"},      {2, "2.5", "2.5"},  {3, "a-b", ""},
  };
  for (const Case& c : cases) {
    CIpAddressDlg dlg("");
    QTest::keyClicks(dlg.part(c.box), c.typed);
    QCOMPARE(dlg.part(c.box)->text(), QString(c.kept));
  }
  // Split into the boxes, joined unchecked on OK (empty parts stay empty).
  CIpAddressDlg dlg("10.0.0.1");
  QCOMPARE(dlg.windowTitle(), QString("Add IP address"));
  QCOMPARE(dlg.part(3)->text(), QString("1"));
  dlg.part(1)->clear();
  dlg.part(3)->setText("*");
  dlg.accept();
  QCOMPARE(dlg.address(), QString("10..0.*"));
}

void OptionsPageTest::filter_dialog_keeps_both_lists_across_modes() {
  AdminSite site;
  CIpFilterDlg dlg("10.0.0.12,,10.0.0.3", ",1.2.3.4", site.folder(), 1);
  QVERIFY(dlg.mode_button(1)->isChecked());
  QCOMPARE(shown(dlg), QStringList({"10.0.0.12", "10.0.0.3"}));
  dlg.mode_button(2)->click();
  QCOMPARE(shown(dlg), QStringList({"1.2.3.4"}));
  QVERIFY(dlg.add_button()->isEnabled());
  dlg.mode_button(0)->click();
  QCOMPARE(dlg.list()->count(), 0);
  for (QPushButton* b : {dlg.add_button(), dlg.edit_button(), dlg.delete_button()})
    QVERIFY(!b->isEnabled());
  dlg.mode_button(1)->click();
  QCOMPARE(shown(dlg), QStringList({"10.0.0.12", "10.0.0.3"}));
  QVERIFY(dlg.edit_button()->isEnabled());
  dlg.accept();
  QCOMPARE(dlg.mode(), 1);
  // Texts untouched by looking at them.
  QCOMPARE(dlg.reject_list(), std::string("10.0.0.12,,10.0.0.3"));
  QCOMPARE(dlg.accept_list(), std::string(",1.2.3.4"));
}

void OptionsPageTest::filter_dialog_add_edit_delete() {
  AdminSite site;
  CIpFilterDlg dlg("10.0.0.12", ",10.0.0.1", site.folder(), 1);
  struct Step {
    const char* name;
    int mode;
    const char* typed;  // address given to Add
    QStringList rows;
    const char* text;  // the mode's list text afterwards
  } adds[] = {
      {"shorter beside longer", 1, "10.0.0.1", {"10.0.0.12", "10.0.0.1"}, "10.0.0.12,10.0.0.1"},
      {"whole duplicate refused", 1, "10.0.0.12", {"10.0.0.12", "10.0.0.1"}, "10.0.0.12,10.0.0.1"},
      {"longer beside shorter", 2, "10.0.0.12", {"10.0.0.1", "10.0.0.12"}, "10.0.0.1,10.0.0.12"},
      {"wildcard entry", 2, "10.0.*.*", {"10.0.0.1", "10.0.0.12", "10.0.*.*"},
       "10.0.0.1,10.0.0.12,10.0.*.*"},
  };
  for (const Step& s : adds) {
    dlg.mode_button(s.mode)->click();
    const QString typed = s.typed;
    set_dialog_hook([typed](QDialog& d) { answer_address(d, typed); });
    dlg.on_add();
    QVERIFY2(shown(dlg) == s.rows, s.name);
    QVERIFY2((s.mode == 1 ? dlg.reject_list() : dlg.accept_list()) == s.text, s.name);
  }
  // Cancel adds nothing.
  set_dialog_hook([](QDialog& d) { d.reject(); });
  dlg.on_add();
  QCOMPARE(dlg.list()->count(), 3);

  // Edit and Delete need a selected entry.
  dlg.list()->setCurrentItem(nullptr);
  dlg.list()->clearSelection();
  site.take_messages();
  dlg.on_edit();
  dlg.on_delete();
  std::vector<tvl::test::RecordedMessage> said = site.take_messages();
  QCOMPARE(said.size(), size_t(2));
  for (const auto& m : said) {
    QCOMPARE(m.text, std::string("Please select a IP Address!"));
    QCOMPARE(m.caption, std::string("Tavella"));
    QVERIFY(m.icon == tvl::MessageIcon::None);
  }
  QCOMPARE(dlg.list()->count(), 3);

  // Edit replaces in place, even with an entry already listed.
  dlg.list()->setCurrentRow(1);
  set_dialog_hook([](QDialog& d) {
    QCOMPARE(qobject_cast<CIpAddressDlg*>(&d)->part(3)->text(), QString("12"));
    answer_address(d, "10.0.0.1");
  });
  dlg.on_edit();
  QCOMPARE(shown(dlg), QStringList({"10.0.0.1", "10.0.0.1", "10.0.*.*"}));
  QCOMPARE(dlg.list()->currentRow(), 1);
  QCOMPARE(dlg.accept_list(), std::string("10.0.0.1,10.0.0.1,10.0.*.*"));

  // Delete removes the selected entry and selects the first.
  dlg.list()->setCurrentRow(2);
  dlg.on_delete();
  QCOMPARE(shown(dlg), QStringList({"10.0.0.1", "10.0.0.1"}));
  QCOMPARE(dlg.list()->currentRow(), 0);
  QCOMPARE(dlg.accept_list(), std::string("10.0.0.1,10.0.0.1"));
  dlg.on_delete();
  dlg.on_delete();
  QCOMPARE(dlg.accept_list(), std::string());
  // The reject list is as its mode left it.
  QCOMPARE(dlg.reject_list(), std::string("10.0.0.12,10.0.0.1"));
  set_dialog_hook([](QDialog& d) { d.reject(); });
}

void OptionsPageTest::filter_dialog_ok_writes_lists_and_settings() {
  for (bool ok : {true, false}) {
    AdminSite site;
    QVERIFY(tvl::write_whole_file(site.folder() + "acceptip.txt", "1.1.1.1"));
    QVERIFY(tvl::write_whole_file(site.folder() + "rejectip.txt", ",2.2.2.2"));
    CServerDlg& w = site.open();
    site.on_dialog([ok](QDialog& d) {
      if (auto* filter = qobject_cast<CIpFilterDlg*>(&d)) {
        filter->mode_button(2)->click();
        filter->on_add();  // answered below
        if (ok) filter->accept();
        else filter->reject();
      } else {
        answer_address(d, "3.3.3.3");
      }
    });
    w.options_page()->on_ip_filter();
    site.on_dialog(nullptr);
    const std::string accept = ok ? "1.1.1.1,3.3.3.3" : "1.1.1.1";
    QCOMPARE(file_text(site.folder() + "acceptip.txt"), accept);
    QCOMPARE(*w.controller().site_data().accept_list.get(), accept);
    // The reject list goes back to its file unchanged, leading comma and all.
    QCOMPARE(file_text(site.folder() + "rejectip.txt"), std::string(",2.2.2.2"));
    QCOMPARE(w.controller().settings().filter_mode, ok ? 2 : 0);
    QCOMPARE(option(site, "FilterMode"), std::string(ok ? "2" : "0"));
  }
}

void OptionsPageTest::url_list_port_suffix() {
  const std::vector<std::string> addresses = {"192.168.1.5", "127.0.0.1"};
  QCOMPARE(COptionsPage::url_list(addresses, 80),
           QStringList({"http://192.168.1.5", "http://127.0.0.1"}));
  QCOMPARE(COptionsPage::url_list(addresses, 8080),
           QStringList({"http://192.168.1.5:8080", "http://127.0.0.1:8080"}));
  QCOMPARE(COptionsPage::url_list({}, 8080), QStringList());
}

void OptionsPageTest::page_lists_this_machine_loopback_last() {
  AdminSite site;
  CServerDlg& w = site.open();
  QComboBox* urls = w.options_page()->url_box();
  QVERIFY(urls->count() >= 1);
  QCOMPARE(urls->currentIndex(), 0);
  const QString suffix = ":" + QString::number(site.port());
  QCOMPARE(urls->itemText(urls->count() - 1).left(11), QString("http://127."));
  for (int i = 0; i < urls->count(); ++i) QVERIFY(urls->itemText(i).endsWith(suffix));
  QVERIFY(!w.options_page()->restart_button()->isEnabled());
}

void OptionsPageTest::check_box_stores_typed_port_until_restart() {
  AdminSite site;
  site.set_option("AutoActive", "1");
  CServerDlg& w = site.open();
  QVERIFY(w.controller().is_running());
  COptionsPage& page = *w.options_page();
  tvl::test::PortReservation reserved;
  const int old_port = site.port(), new_port = reserved.port();
  set_port_box(page, QString::number(new_port));
  QVERIFY(page.restart_button()->isEnabled());
  page.save_log_box()->click();
  QCOMPARE(option(site, "Port"), std::to_string(new_port));
  QCOMPARE(option(site, "Savelog"), std::string("1"));
  QVERIFY(port_serves(old_port));
  QVERIFY(!port_serves(new_port));

  page.restart_button()->click();
  QVERIFY(w.controller().is_running());
  QVERIFY(port_serves(new_port));
  QVERIFY(!port_serves(old_port));
  QVERIFY(!page.restart_button()->isEnabled());
  QVERIFY(page.url_box()->currentText().endsWith(":" + QString::number(new_port)));
}

void OptionsPageTest::empty_port_box_keeps_the_old_values() {
  AdminSite site;
  CServerDlg& w = site.open();
  COptionsPage& page = *w.options_page();
  set_port_box(page, "");
  site.take_messages();
  page.minimize_box()->click();
  std::vector<tvl::test::RecordedMessage> said = site.take_messages();
  QCOMPARE(said.size(), size_t(1));
  QCOMPARE(said[0].text, std::string("Please enter an integer."));
  // Saved, with the page's values from before the attempt.
  QCOMPARE(option(site, "Port"), std::to_string(site.port()));
  QCOMPARE(option(site, "Minimize"), std::string("0"));
  QCOMPARE(w.controller().settings().port, site.port());
}

void OptionsPageTest::service_buttons_run_the_service_program() {
  AdminSite site;
  site.set_option("AutoActive", "1");
  site.set_option("Startup", "1");
  const std::string record = site.folder() + "service-args.txt";
  const std::string fake = site.folder() + "tvlService";
  QVERIFY(tvl::write_whole_file(fake, "#!/bin/sh\necho \"$@\" >> '" + record + "'\n"));
  QVERIFY(std::system(("chmod +x '" + fake + "'").c_str()) == 0);
  CServerDlg& w = site.open();
  QVERIFY(w.controller().is_running());
  COptionsPage& page = *w.options_page();
  QVERIFY(page.startup_box()->isChecked());

  struct Case {
    void (CServiceDlg::*press)();
    const char* line;
  } cases[] = {{&CServiceDlg::on_install, "-i"},
               {&CServiceDlg::on_uninstall, "-u"},
               {&CServiceDlg::on_stop_service, "-e"},
               {&CServiceDlg::on_start_service, "-s"}};
  std::string expected;
  for (const Case& c : cases) {
    site.on_dialog([&c](QDialog& d) {
      auto* service = qobject_cast<CServiceDlg*>(&d);
      QVERIFY(service);
      (service->*c.press)();
      d.reject();
    });
    page.on_service();
    expected += std::string(c.line) + "\n";
    // The program runs detached; wait (bounded) for its line.
    (void)tvl::test::eventually([&] { return file_text(record) == expected; },
                                std::chrono::milliseconds(tvl::test::kHangGuardMs));
    QCOMPARE(file_text(record), expected);
  }
  site.on_dialog(nullptr);
  // "Start Service": the window's server is stopped and its own start is off,
  // in the file, the live settings and the page.
  QVERIFY(!w.controller().is_running());
  QVERIFY(!port_serves(site.port()));
  QCOMPARE(option(site, "AutoActive"), std::string("0"));
  QCOMPARE(option(site, "startup"), std::string("0"));
  QVERIFY(!w.controller().settings().auto_active && !w.controller().settings().startup);
  QVERIFY(!page.startup_box()->isChecked());
  QVERIFY(!page.auto_active_box()->isChecked());
  // So a later click does not store the old values back.
  page.save_log_box()->click();
  QCOMPARE(option(site, "AutoActive"), std::string("0"));
  QCOMPARE(option(site, "startup"), std::string("0"));
}

void OptionsPageTest::go_and_log_folder_open_links() {
  AdminSite site;
  CServerDlg& w = site.open();
  std::vector<std::pair<std::string, int>> opened;
  set_link_opener([&opened](const std::string& target, int show) {
    opened.push_back({target, show});
    return 33;
  });
  COptionsPage& page = *w.options_page();
  page.on_go();
  page.on_log_folder();
  page.url_box()->clear();
  page.on_go();  // nothing selected: nothing opened
  set_link_opener(nullptr);
  QCOMPARE(opened.size(), size_t(2));
  QVERIFY(opened[0].first.rfind("http://", 0) == 0);
  QCOMPARE(opened[1].first, site.folder() + "log");
  QCOMPARE(opened[1].second, tvl::kShowNormal);
}

QTEST_MAIN(OptionsPageTest)
#include "options_page_test.moc"

