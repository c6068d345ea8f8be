// CLinkLabel and the About dialog's two links.
#include <QEnterEvent>
#include <QtTest>

#include "admin/about_dlg.h"
#include "admin/link_label.h"
#include "admin/links.h"
#include "tests/admin/admin_fixture.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;

class LinkLabelTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { set_link_opener(nullptr); }
  void failure_reasons_data();
  void failure_reasons();
  void success_marks_visited();
  void hover_colour_and_looks();
  void about_links();
};

void LinkLabelTest::failure_reasons_data() {
  QTest::addColumn<int>("result");
  QTest::addColumn<QString>("reason");
  const std::pair<int, const char*> rows[] = {
      {0, "The operating system is out\nof memory or resources."},
      {2, "The specified file was not found."},
      {3, "The specified path was not found."},
      {5, "The operating system denied\naccess to the specified file."},
      {8, "There was not enough memory to complete the operation."},
      {11, "The program file is invalid\n(not an executable program or error in its image)."},
      {26, "A sharing violation occurred. "},
      {27, "The filename association is\nincomplete or invalid."},
      {28, "The DDE transaction could not\nbe completed because the request timed out."},
      {29, "The DDE transaction failed."},
      {30, "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed."},
      {31, "There is no application associated\nwith the given filename extension."},
      {32, "The specified dynamic-link library was not found."},
      {1, "Unknown Error (1) occurred."},
      {4, "Unknown Error (4) occurred."},
      {-7, "Unknown Error (-7) occurred."},
  };
  for (const auto& [result, reason] : rows)
    QTest::newRow(QByteArray::number(result)) << result << QString(reason);
}

// A failed open beeps and explains itself once, and the link stays unvisited.
void LinkLabelTest::failure_reasons() {
  QFETCH(int, result);
  QFETCH(QString, reason);
  AdminSite site;
  std::vector<std::string> asked;
  set_link_opener([&](const std::string& target, int) {
    asked.push_back(target);
    return result;
  });
  CLinkLabel link("https://example.org/");
  link.activate();
  QCOMPARE(asked, std::vector<std::string>{"https://example.org/"});
  auto messages = site.take_messages();
  QCOMPARE(messages.size(), size_t(1));
  QCOMPARE(messages[0].caption, std::string("Tavella"));
  QCOMPARE(QString::fromStdString(messages[0].text), "Unable to open hyperlink:\n\n" + reason);
  QVERIFY(messages[0].icon == tvl::MessageIcon::Warning);
  QVERIFY(!link.visited());
  QCOMPARE(link.text_colour(), CLinkLabel::kNormal);
}

void LinkLabelTest::success_marks_visited() {
  AdminSite site;
  set_link_opener([](const std::string&, int) { return 42; });
  CLinkLabel link("docs");
  link.set_target("https://example.org/docs");
  link.resize(link.sizeHint());
  QCOMPARE(link.text_colour(), QColor(18, 26, 159));
  QTest::mouseClick(&link, Qt::LeftButton);
  QVERIFY(link.visited());
  QCOMPARE(link.text_colour(), QColor(85, 26, 139));
  QCOMPARE(link.palette().color(QPalette::WindowText), QColor(85, 26, 139));
  QVERIFY(site.take_messages().empty());
}

void LinkLabelTest::hover_colour_and_looks() {
  CLinkLabel link("https://example.org/");
  QCOMPARE(link.toolTip(), QString("https://example.org/"));  // no target: the text
  QVERIFY(link.font().underline());
  QCOMPARE(link.cursor().shape(), Qt::PointingHandCursor);
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QApplication::sendEvent(&link, &enter);
  QCOMPARE(link.text_colour(), link.palette().color(QPalette::Active, QPalette::Highlight));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&link, &leave);
  QCOMPARE(link.text_colour(), CLinkLabel::kNormal);

  CLinkLabel empty;
  empty.set_target("mailto:a@example.org");  // no text: the target is shown
  QCOMPARE(empty.text(), QString("mailto:a@example.org"));
}

void LinkLabelTest::about_links() {
  std::vector<std::string> opened;
  set_link_opener([&](const std::string& target, int) {
    opened.push_back(target);
    return 33;
  });
  CAboutDlg about;
  QCOMPARE(about.windowTitle(), QString("About Tavella Server"));
  QCOMPARE(about.website_link()->text(), QString(CAboutDlg::kWebsite));
  QCOMPARE(about.email_link()->text(), QString(CAboutDlg::kEmail));
  about.website_link()->activate();
  about.email_link()->activate();
  QCOMPARE(opened, (std::vector<std::string>{CAboutDlg::kWebsite,
                                             std::string("mailto:") + CAboutDlg::kEmail}));
  QVERIFY(about.findChild<QLabel*>() != nullptr);
  bool has_version = false;
  for (QLabel* l : about.findChildren<QLabel*>()) has_version |= l->text() == "Tavella Server Version 1.2";
  QVERIFY(has_version);
}

QTEST_MAIN(LinkLabelTest)
#include "link_label_test.moc"

