// The window's server without the window: ServerController's states and
// signals, its log rows from client threads, tvlctl's changes told as
// listsChanged; and the Logs page's model with its bound.
#include <QSignalSpy>
#include <QtTest>

#include <thread>
#include <vector>

#include "admin/log_model.h"
#include "admin/server_controller.h"
#include "chat/chat_state.h"
#include "platform/folder_lock.h"
#include "platform/net.h"
#include "tests/admin/admin_fixture.h"
#include "tests/support/child_process.h"

// The window's classes live in the project's namespace.
using namespace tvl;

using tvl::ServerController;
using tvl::ServerState;
using tvl::test::AdminSite;
using tvl::test::port_serves;
using tvl::test::PortHolder;

Q_DECLARE_METATYPE(tvl::ServerState)

namespace {

std::unique_ptr<ServerController> open(AdminSite& site, ServerController::Setup setup = {}) {
  setup.program_folder = site.folder();
  return std::make_unique<ServerController>(setup);
}

std::vector<ServerState> states(const QSignalSpy& spy) {
  std::vector<ServerState> out;
  for (const QList<QVariant>& call : spy) out.push_back(call.at(0).value<ServerState>());
  return out;
}

}  // namespace

class ServerControllerTest : public QObject {
  Q_OBJECT

 private slots:
  void start_and_stop_move_between_offline_and_online_once();
  void a_start_that_fails_stays_offline_silently();
  void an_unclean_stop_is_stuck_until_the_port_is_free();
  void one_server_per_program_folder();
  void log_rows_from_client_threads_arrive_queued_and_in_order();
  void a_tvlctl_command_tells_the_lists_changed();
  void log_model_keeps_the_newest_rows();
};

void ServerControllerTest::start_and_stop_move_between_offline_and_online_once() {
  AdminSite site;
  auto server = open(site);
  QSignalSpy spy(server.get(), &ServerController::stateChanged);
  QCOMPARE(server->state(), ServerState::Offline);
  server->stop();  // nothing to stop
  server->start();
  server->start();  // already online
  QVERIFY(server->is_running());
  QVERIFY(port_serves(site.port()));
  server->stop();
  server->stop();
  QCOMPARE(server->state(), ServerState::Offline);
  QVERIFY(!port_serves(site.port()));
  QCOMPARE(states(spy), (std::vector<ServerState>{ServerState::Online, ServerState::Offline}));
  // Restart reads the templates again and comes back online.
  server->start();
  spy.clear();
  server->reload_and_restart();
  QCOMPARE(states(spy), (std::vector<ServerState>{ServerState::Offline, ServerState::Online}));
  QVERIFY(port_serves(site.port()));
}

void ServerControllerTest::a_start_that_fails_stays_offline_silently() {
  AdminSite site;
  PortHolder holder(site.port());
  QVERIFY(holder.fd >= 0);
  auto server = open(site);
  QSignalSpy spy(server.get(), &ServerController::stateChanged);
  server->start();
  QCOMPARE(server->state(), ServerState::Offline);
  QCOMPARE(spy.count(), 0);
  // The connection server tells the busy port itself (from its accept
  // thread, after the start returned); nothing more.
  QTRY_COMPARE_WITH_TIMEOUT(site.message_count(), size_t(1), tvl::test::kHangGuardMs);
  QCOMPARE(site.take_messages()[0].caption, std::string("Tavella"));
  QCOMPARE(spy.count(), 0);
}

// A tvlService on the same folder (with its own state folder) holds the
// folder: the window does not serve beside it and says why. Online, the
// window holds it, so tvlctl does not change the files behind it.
void ServerControllerTest::one_server_per_program_folder() {
  AdminSite site;
  auto server = open(site);
  QSignalSpy spy(server.get(), &ServerController::stateChanged);
  {
    FolderLock other_server;
    QCOMPARE(other_server.take(site.folder(), FolderLock::Mode::kExclusive, 0), FolderLock::Outcome::kLocked);
    server->start();
    QCOMPARE(server->state(), ServerState::Offline);
    QVERIFY(!port_serves(site.port()));
    QCOMPARE(site.message_count(), size_t(1));
    QCOMPARE(site.take_messages()[0].text, folder_served_text(site.folder()));
  }
  server->start();
  QVERIFY(server->is_running());
  FolderLock tvlctl;
  QCOMPARE(tvlctl.take(site.folder(), FolderLock::Mode::kShared, 0), FolderLock::Outcome::kBusy);
  server->stop();
  QCOMPARE(tvlctl.take(site.folder(), FolderLock::Mode::kShared, 0), FolderLock::Outcome::kLocked);
  QCOMPARE(states(spy), (std::vector<ServerState>{ServerState::Online, ServerState::Offline}));
}

void ServerControllerTest::an_unclean_stop_is_stuck_until_the_port_is_free() {
  AdminSite site;
  std::unique_ptr<PortHolder> holder;
  ServerController::Setup setup;
  setup.shutdown = [&](tvl::ChatEngine& engine) {
    const int clean = engine.stop();
    if (holder) return clean;  // only the first stop is forced
    holder = std::make_unique<PortHolder>(site.port());
    return 0;
  };
  auto server = open(site, setup);
  QSignalSpy spy(server.get(), &ServerController::stateChanged);
  server->start();
  server->stop();
  QVERIFY(holder && holder->fd >= 0);
  QCOMPARE(server->state(), ServerState::Stuck);
  server->start();  // ignored while the port may still be served
  server->stop();
  QCOMPARE(server->state(), ServerState::Stuck);
  holder->release();
  QTRY_COMPARE_WITH_TIMEOUT(server->state(), ServerState::Offline, tvl::test::kHangGuardMs);
  QCOMPARE(states(spy),
           (std::vector<ServerState>{ServerState::Online, ServerState::Stuck, ServerState::Offline}));
  server->start();
  QCOMPARE(server->state(), ServerState::Online);
  server.reset();  // while the hook's holder still exists
}

void ServerControllerTest::log_rows_from_client_threads_arrive_queued_and_in_order() {
  AdminSite site;
  auto server = open(site);
  QSignalSpy spy(server.get(), &ServerController::logRowAdded);
  constexpr int kThreads = 4, kRows = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&server, t] {
      for (int i = 0; i < kRows; ++i) {
        // As the chat engine calls it: under the chat lock.
        tvl::ChatState::Hold hold(server->engine().state());
        server->engine().log_chat_event("10.0.0." + std::to_string(t), "12:00:00",
                                        std::to_string(i));
      }
    });
  // This thread runs no events meanwhile: a client thread that waited for
  // it would never finish.
  for (std::thread& t : threads) t.join();
  QCOMPARE(spy.count(), 0);
  QTRY_COMPARE_WITH_TIMEOUT(spy.count(), kThreads * kRows, tvl::test::kHangGuardMs);
  std::vector<int> next(kThreads, 0);
  for (const QList<QVariant>& row : spy) {
    const int t = row.at(0).toString().section('.', 3).toInt();
    QCOMPARE(row.at(1).toString(), QString("12:00:00"));
    QCOMPARE(row.at(2).toString().toInt(), next[t]++);
  }
  // No row arrives after shut_down.
  server->shut_down();
  {
    tvl::ChatState::Hold hold(server->engine().state());
    server->engine().log_chat_event("10.0.0.9", "12:00:01", "late");
  }
  QCoreApplication::processEvents();
  QCOMPARE(spy.count(), kThreads * kRows);
}

void ServerControllerTest::a_tvlctl_command_tells_the_lists_changed() {
  AdminSite site;
  auto server = open(site);
  QSignalSpy spy(server.get(), &ServerController::listsChanged);
  server->start();
  tvl::test::Finished result;
  std::atomic<bool> done{false};
  std::thread runner([&] {
    result = tvl::test::run_to_end(site.folder() + "tvlctl", {"room", "add", "Garden"});
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  runner.join();
  QCOMPARE(result.exit_code, 0);
  QCOMPARE(spy.count(), 1);
  tvl::ChatState::Hold hold(server->engine().state());
  QCOMPARE(server->engine().state().room_count_locked(), 4);
}

void ServerControllerTest::log_model_keeps_the_newest_rows() {
  CLogModel model(3, QIcon(), nullptr);
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  for (int i = 0; i < 5; ++i) model.add_row("10.0.0.1", "12:00:00", QString::number(i));
  QCOMPARE(model.rowCount(), 3);
  QCOMPARE(removed.count(), 2);  // one row at a time, the oldest
  QStringList kept;
  for (int r = 0; r < model.rowCount(); ++r) kept << model.text(r, CLogModel::kMessage);
  QCOMPARE(kept, (QStringList{"2", "3", "4"}));
  QCOMPARE(model.data(model.index(0, CLogModel::kAddress), Qt::DisplayRole).toString(),
           QString("10.0.0.1"));
  QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Message"));
  QCOMPARE(model.text(3, 0), QString());  // past the end: empty, no crash
  QCOMPARE(model.text(0, 3), QString());
  model.clear();
  QCOMPARE(model.rowCount(), 0);
}

QTEST_MAIN(ServerControllerTest)
#include "server_controller_test.moc"

