#include "admin/server_controller.h"

#include <QTimer>

#include "chat/chat_state.h"
#include "cluster/shared_accounts.h"
#include "cluster/shared_rooms.h"
#include "platform/fs.h"
#include "platform/message_box.h"
#include "storage/settings.h"

namespace tvl {

ServerController::ServerController(const Setup& setup, QObject* parent)
    : QObject(parent), shutdown_(setup.shutdown) {
  port_timer_ = new QTimer(this);
  port_timer_->setInterval(kPortProbeMs);
  connect(port_timer_, &QTimer::timeout, this, &ServerController::check_port_free);
  // Set before any server runs. Posted to the user-interface thread: the
  // client thread holds the chat lock and must not wait.
  engine_.set_log_row_sink([this](const std::string& address, const std::string& time,
                                  const std::string& text) {
    QString a = QString::fromStdString(address), t = QString::fromStdString(time),
            x = QString::fromStdString(text);
    QMetaObject::invokeMethod(this, [this, a, t, x] { emit logRowAdded(a, t, x); },
                              Qt::QueuedConnection);
  });
  engine_.load(setup.program_folder);
  redis_ = make_redis_pool(settings());
  use_own_stores();
}

void ServerController::use_own_stores() {
  if (!redis_) {
    engine_.set_account_store(nullptr);
    engine_.set_room_records(nullptr);
    return;
  }
  engine_.set_account_store(std::make_shared<SharedAccounts>(redis_));
  engine_.set_room_records(std::make_shared<SharedRooms>(redis_, engine_.state()));
}

void ServerController::leave_cluster() {
  if (!cluster_.node()) return;
  cluster_.leave();
  use_own_stores();
}

std::string ServerController::cluster_away_text(const std::string& why) {
  return "The cluster's accounts and rooms cannot be reached (" + why +
         "). Nothing was read or changed; try again when Redis is back.";
}

std::string ServerController::cluster_problem() {
  if (!redis_) return std::string();
  RedisReply reply;
  Reason why;
  if (redis_->command({"PING"}, reply, why)) return std::string();
  return cluster_away_text(why.text);
}

ServerController::~ServerController() { shut_down(); }

void ServerController::shut_down() {
  stop();
  engine_.server().StopAndWaitClients();
  leave_cluster();  // a stuck server's node: its threads serve no more
  engine_.set_log_row_sink(nullptr);
}

void ServerController::enter(ServerState state) {
  state_ = state;
  emit stateChanged(state);
}

void ServerController::start() {
  if (state_ != ServerState::Offline) return;
  const int port = settings().port;
  // One server per program folder, whatever its state folder: a tvlService
  // on this folder keeps it, and this window does not serve beside it.
  if (folder_lock_.take(program_folder(), FolderLock::Mode::Exclusive, kServedFolderWaitMs) ==
      FolderLock::Outcome::Busy) {
    message_box("Tavella", folder_served_text(program_folder()), MessageIcon::Warning);
    return;
  }
  tidy_program_folder(program_folder());  // the folder is this window's now
  if (redis_)
    cluster_.join(engine_, [this](const std::string& text) {
      // A row of the log page, not a dialog: the node says when Redis
      // comes and goes, which should not pile up boxes. From the node's
      // threads: posted, never waited for.
      const QString t = QString::fromStdString(local_time_hms()), x = QString::fromStdString(text);
      QMetaObject::invokeMethod(this, [this, t, x] { emit logRowAdded("Cluster", t, x); },
                                Qt::QueuedConnection);
    });
  if (engine_.start(port) != 1) {
    leave_cluster();
    folder_lock_.release();
    return;
  }
  stuck_port_ = port;
  enter(ServerState::Online);
  start_control();
}

void ServerController::stop() {
  if (state_ != ServerState::Online) return;
  // tvlctl works on the files again from here on.
  control_.stop();
  if ((shutdown_ ? shutdown_(engine_) : engine_.stop()) == 1) {
    leave_cluster();
    folder_lock_.release();
    enter(ServerState::Offline);
    return;
  }
  // Threads were abandoned and may still hold the port and serve.
  enter(ServerState::Stuck);
  port_timer_->start();
}

void ServerController::check_port_free() {
  if (!engine_.listen_problem(stuck_port_).empty()) return;
  port_timer_->stop();
  leave_cluster();
  folder_lock_.release();  // the abandoned threads serve no more
  enter(ServerState::Offline);
}

void ServerController::start_control() {
  tvl::Reason reason;
  const std::string path = control_socket_path();
  // Called on the control thread: the command runs on this thread, later.
  auto wake = [this] {
    QMetaObject::invokeMethod(this, [this] { answer_control(); }, Qt::QueuedConnection);
  };
  (void)make_directory(state_folder());  // as the service does; a failure shows below
  if (control_.start(path, wake, reason) || control_failure_told_) return;
  // Told once: the reason (no state folder of one's own, another server on
  // the socket) does not change from one Start to the next.
  control_failure_told_ = true;
  message_box("Tavella", ControlServer::unreachable_text(path, reason.text), MessageIcon::Warning);
}

void ServerController::answer_control() {
  OperatorTarget target;
  target.program_folder = program_folder();
  target.engine = &engine_;  // no reload: the Options page holds the window's options
  control_.answer_waiting(target);
  emit listsChanged();
}

void ServerController::save_settings(const ServerSettings& values) {
  tvl::save_settings(engine_.site(), values);
}

void ServerController::load_rooms() { (void)rooms().reload(engine_.state()); }

void ServerController::reload_and_restart() {
  load_templates(engine_.site());
  stop();
  start();
}

}  // namespace tvl
