// The whole program: build/dist/Tavella started from a program folder of its
// own with AutoActive and Savelog on, a browser's requests on loopback, and
// SIGTERM (the program handles it as its Exit command) to end it.
#include <QtTest>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/admin/admin_fixture.h"
#include "tests/support/child_process.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::test::AdminSite;
using tvl::test::ChildProcess;
using tvl::test::port_serves;

class ProgramTest : public QObject {
  Q_OBJECT

 private slots:
  void serves_logs_and_ends_cleanly();
};

void ProgramTest::serves_logs_and_ends_cleanly() {
  AdminSite site;
  site.set_option("AutoActive", "1");
  site.set_option("Savelog", "1");
  const std::string program = site.folder() + "Tavella";
  std::filesystem::copy_file(std::string(TAVELLA_DIST_DIR) + "/Tavella", program);

  ChildProcess tavella;
  QVERIFY(tavella.start(program, {}));
  bool up = false;
  for (int i = 0; i < 300 && !(up = port_serves(site.port())); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  QVERIFY2(up, tavella.err().c_str());

  // Enter the lobby as a guest; the page carries the guest's key.
  const std::string chat = tvl::test::http_exchange(
      site.port(), "GET /chat.ghp?username=ann&password=&room=1&sex=1 HTTP/1.0\r\n\r\n");
  std::smatch key;
  QVERIFY2(std::regex_search(chat, key, std::regex("username=ann&(?:amp;)?password=([^&\"]*)&(?:amp;)?room=1")),
           chat.c_str());
  const std::string body = "message=hello+from+the+window+test&chat_flag=1&mtowho=All&mfilters=0"
                           "&mfont=0&mfcolor=1&elist=0&seltype=0&msg=";
  const std::string post = "POST /chatsubmit.ghp?username=ann&password=" + key[1].str() +
                           "&room=1 HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  QVERIFY(!tvl::test::http_exchange(site.port(), post).empty());

  // The log file is named after the day of the event; take both days should
  // midnight pass during the test.
  auto day_file = [] {
    char day[32];
    std::time_t now = std::time(nullptr);
    std::strftime(day, sizeof day, "log/%Y%m%d.txt", std::localtime(&now));
    return std::string(day);
  };
  const std::string day_before = day_file();

  tavella.signal(SIGTERM);
  QCOMPARE(tavella.wait(), 0);
  QVERIFY(!port_serves(site.port()));

  QString text;
  for (const std::string& day : {day_before, day_file()}) {
    QFile log(QString::fromStdString(site.folder() + day));
    if (log.open(QIODevice::ReadOnly)) text += QString::fromUtf8(log.readAll());
    if (day_before == day_file()) break;
  }
  QVERIFY2(text.contains(QRegularExpression("^127\\.0\\.0\\.1 \\d\\d:\\d\\d:\\d\\d ann joined the \\[Lobby\\]\r$",
                                            QRegularExpression::MultilineOption)),
           qPrintable(text));
  QVERIFY2(text.contains("hello from the window test"), qPrintable(text));
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "program_test.moc"

