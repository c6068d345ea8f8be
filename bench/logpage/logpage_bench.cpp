// The log page under a flood of chat events: `visitors` client threads each
// hand `rows` events to the window's log_chat_event while holding the chat
// lock, as the chat engine does, with no pause between events. The window
// runs offscreen on an empty program folder (no server, no log file).
//
// Reports rows per second (from the first event handed over to the last row
// on the page, the 1000-row rule included) and the longest stall of the
// user-interface thread, measured as the largest gap between the ticks of a
// 1 ms timer: the longest time input would have waited.
//
// Usage: logpage_bench [visitors=200] [rows per visitor=100]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "admin/log_model.h"
#include "admin/log_page.h"
#include "admin/server_dlg.h"
#include "chat/chat_state.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  const int visitors = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int rows = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;

  // Nothing of the real system: temporary state, config and program folders.
  char pattern[] = "/tmp/tvl-logbench-XXXXXX";
  const char* base = mkdtemp(pattern);
  if (!base) return 1;
  const std::string root = base;
  for (const char* sub : {"/state", "/config", "/site"}) fs::create_directories(root + sub);
  setenv("TAVELLA_STATE_DIR", (root + "/state").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  int code = 0;
  {
    QApplication app(argc, argv);
    CServerDlg::Setup setup;
    setup.program_folder = root + "/site/";
    CServerDlg window(setup);
    window.tabs()->setCurrentWidget(window.log_page());

    QElapsedTimer clock;
    qint64 last_tick = 0, longest_gap = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      const qint64 now = clock.nsecsElapsed();
      if (last_tick) longest_gap = std::max(longest_gap, now - last_tick);
      last_tick = now;
    });

    qint64 started = 0, finished = 0;
    std::vector<std::thread> threads;
    std::thread watcher;
    QTimer::singleShot(0, [&] {
      clock.start();
      ticker.start();
      started = clock.nsecsElapsed();
      for (int v = 0; v < visitors; ++v)
        threads.emplace_back([&window, v, rows] {
          const std::string ip = "10.0." + std::to_string(v / 250) + "." + std::to_string(v % 250);
          for (int i = 0; i < rows; ++i) {
            tvl::ChatEngine& engine = window.controller().engine();
            tvl::ChatState::Hold hold(engine.state());
            engine.log_chat_event(ip, "12:00:00", "visitor " + std::to_string(v) + " says " +
                                                  std::to_string(i) + " to All");
          }
        });
      watcher = std::thread([&] {
        for (std::thread& t : threads) t.join();
        // Queued behind every row: runs once the page has taken them all.
        QMetaObject::invokeMethod(window.log_page(), [&] {
          finished = clock.nsecsElapsed();
          // One more turn so the deferred column sizing is counted as well.
          QTimer::singleShot(0, [&] {
            finished = clock.nsecsElapsed();
            app.quit();
          });
        }, Qt::QueuedConnection);
      });
    });
    // Bounded: a page that never catches up ends the run after a minute.
    QTimer::singleShot(60000, [&] {
      code = 2;
      app.quit();
    });
    app.exec();
    if (watcher.joinable()) watcher.join();

    const long total = long(visitors) * rows;
    const double seconds = (finished - started) / 1e9;
    std::printf("visitors %d, rows %ld, rows on the page at the end %d\n", visitors, total,
                window.log_page()->model()->rowCount());
    if (code == 0 && seconds > 0)
      std::printf("rows per second: %.0f (%.3f s)\n", total / seconds, seconds);
    else
      std::printf("did not finish within 60 s\n");
    std::printf("longest user-interface stall: %.1f ms\n", longest_gap / 1e6);
  }
  fs::remove_all(root);
  return code;
}
