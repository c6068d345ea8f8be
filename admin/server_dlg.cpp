#include "admin/server_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "admin/about_dlg.h"
#include "admin/dialog_seam.h"
#include "admin/icon_button.h"
#include "admin/links.h"
#include "admin/log_page.h"
#include "admin/options_page.h"
#include "admin/rooms_page.h"
#include "admin/system_tray.h"
#include "admin/users_page.h"
#include "chat/chat_state.h"
#include "platform/fs.h"
#include "platform/message_box.h"
#include "storage/settings.h"

// Resources of a static library are registered by hand.
static void init_admin_resources() { Q_INIT_RESOURCE(tavella); }

const char CServerDlg::kTitle[] = "Tavella Server v1.2 ";
const char CServerDlg::kOnlineText[] = "Tavella Server is online.";
const char CServerDlg::kOfflineText[] = "Tavella Server is offline.";
const char CServerDlg::kStuckText[] =
    "Tavella Server did not stop cleanly; waiting for the port to be free.";

namespace {
// Delay of the hide that follows a start with `minimize`.
constexpr int kMinimizeDelayMs = 200;
// How often a stuck server's port is probed.
constexpr int kPortProbeMs = 500;
// How soon the lists are tried again after a tvlctl command while a modal
// dialog is open.
constexpr int kListRefreshRetryMs = 250;

QFrame* etched(QFrame::Shape shape) {
  auto* line = new QFrame;
  line->setFrameShape(shape);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}
}  // namespace

CServerDlg::CServerDlg(const Setup& setup, QWidget* parent)
    : QMainWindow(parent), shutdown_(setup.shutdown) {
  init_admin_resources();
  // The controls with their initial texts, icons and tooltips come first.
  build_window();
  // The log page's row of each chat event; set before any server runs.
  engine_.set_log_row_sink([this](const std::string& address, const std::string& time,
                                  const std::string& text) {
    QString a = QString::fromStdString(address), t = QString::fromStdString(time),
            x = QString::fromStdString(text);
    // Posted to the user-interface thread; the client thread holds the chat
    // lock and must not wait for it.
    QMetaObject::invokeMethod(
        this, [this, a, t, x] { if (log_page_) log_page_->add_row(a, t, x); },
        Qt::QueuedConnection);
  });
  // Settings, templates, IP lists and rooms.
  engine_.load(setup.program_folder);
  // The tabs and their pages; the pages read what was just loaded.
  options_page_ = new COptionsPage(*this, nullptr);
  log_page_ = new CLogPage(*this, nullptr);
  users_page_ = new CUsersPage(*this, nullptr);
  rooms_page_ = new CRoomsPage(*this, nullptr);
  tabs_->addTab(options_page_, "Options");
  tabs_->addTab(log_page_, "Logs");
  tabs_->addTab(users_page_, "Users");
  tabs_->addTab(rooms_page_, "Rooms");
  tabs_->setCurrentIndex(0);
  // The tray icon with the tray menu.
  auto* tray_menu = new QMenu(this);
  tray_menu->addAction("Show main window", this, &CServerDlg::show_main_window);
  tray_menu->addSeparator();
  tray_menu->addAction("Start Server", this, &CServerDlg::on_start);
  tray_menu->addAction("Stop Server", this, &CServerDlg::on_stop);
  tray_menu->addSeparator();
  tray_menu->addAction("About...", this, &CServerDlg::on_about);
  tray_menu->addAction("Help...", this, &CServerDlg::on_help);
  tray_menu->addAction("Exit", this, &CServerDlg::on_exit);
  tray_ = std::make_unique<CSystemTray>();
  tray_->Create(this, "Tavella Server", windowIcon(), tray_menu);
  // Start at once when asked to.
  if (settings().auto_active) start_server();
  // Centred on the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
  }
  // Shown, or shown minimised and hidden to the tray a moment later.
  // Without a notification area a hidden window could not be brought back,
  // so it stays minimised on the task bar.
  if (settings().minimize) {
    starting_minimized_ = true;
    showMinimized();
    if (tray_->present())
      QTimer::singleShot(kMinimizeDelayMs, this, [this] {
        starting_minimized_ = false;
        if (isMinimized()) hide();
      });
    else
      starting_minimized_ = false;
  } else {
    show();
  }
}

CServerDlg::~CServerDlg() {
  // First the server (and every client thread that could still queue a row),
  // then the tray icon, then the rest.
  stop_server();
  engine_.server().StopAndWaitClients();
  engine_.set_log_row_sink(nullptr);
  tray_.reset();
}

void CServerDlg::build_window() {
  setWindowTitle(kTitle);
  setWindowIcon(QIcon(":/icons/tavella.png"));

  QMenu* server = menuBar()->addMenu("&Server");
  server->addAction("Start Server", this, &CServerDlg::on_start);
  server->addAction("Stop Server", this, &CServerDlg::on_stop);
  server->addSeparator();
  server->addAction("Exit", this, &CServerDlg::on_exit);
  QMenu* help = menuBar()->addMenu("&Help");
  help->addAction("Help", this, &CServerDlg::on_help);
  help->addAction("About...", this, &CServerDlg::on_about);

  auto* central = new QWidget;
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addWidget(etched(QFrame::HLine));

  auto make_button = [this](const char* icon, const char* tip, void (CServerDlg::*slot)()) {
    auto* b = new CIconButton;
    b->set_icon(QIcon(QString(":/icons/") + icon + ".png"));
    b->set_tooltip(tip);
    b->setFixedSize(22, 22);
    connect(b, &QAbstractButton::clicked, this, slot);
    return b;
  };
  start_button_ = make_button("start", "Start the server", &CServerDlg::on_start);
  stop_button_ = make_button("stop", "Stop the server", &CServerDlg::on_stop);
  help_button_ = make_button("help", "Tavella Server Help", &CServerDlg::on_help);
  about_button_ = make_button("about", "About Tavella Server", &CServerDlg::on_about);
  auto* toolbar = new QHBoxLayout;
  toolbar->setContentsMargins(2, 2, 2, 2);
  toolbar->setSpacing(1);
  toolbar->addWidget(start_button_);
  toolbar->addWidget(stop_button_);
  toolbar->addWidget(etched(QFrame::VLine));
  toolbar->addWidget(help_button_);
  toolbar->addWidget(etched(QFrame::VLine));
  toolbar->addWidget(about_button_);
  toolbar->addStretch(1);
  column->addLayout(toolbar);
  column->addWidget(etched(QFrame::HLine));

  // The tab control keeps its margins to the window's edges; the layouts
  // stretch it, its pages, the status line and the right panel together.
  tabs_ = new QTabWidget;
  auto* tab_box = new QVBoxLayout;
  tab_box->setContentsMargins(2, 3, 2, 3);
  tab_box->addWidget(tabs_);
  column->addLayout(tab_box, 1);

  tabs_->setObjectName("tabs");
  status_ = new QLabel;
  status_->setObjectName("status");
  status_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  right_panel_ = new QLabel;
  right_panel_->setObjectName("right_panel");
  right_panel_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  right_panel_->setFixedWidth(111);
  auto* status_row = new QHBoxLayout;
  status_row->setContentsMargins(2, 0, 2, 2);
  status_row->setSpacing(3);
  status_row->addWidget(status_, 1);
  status_row->addWidget(right_panel_);
  column->addLayout(status_row);

  setCentralWidget(central);
  // Below this the controls would not fit; the window does not shrink more.
  central->setMinimumSize(320, 200);
  resize(486, 400);

  port_timer_ = new QTimer(this);
  port_timer_->setInterval(kPortProbeMs);
  connect(port_timer_, &QTimer::timeout, this, &CServerDlg::check_port_free);
  set_state_offline();
}

QString CServerDlg::status_text() const { return status_->text(); }

void CServerDlg::set_state_offline() {
  start_button_->setEnabled(true);
  stop_button_->setEnabled(false);
  status_->setText(kOfflineText);
}

void CServerDlg::set_state_online() {
  start_button_->setEnabled(false);
  stop_button_->setEnabled(true);
  status_->setText(kOnlineText);
}

void CServerDlg::set_state_stuck() {
  start_button_->setEnabled(false);
  stop_button_->setEnabled(false);
  status_->setText(kStuckText);
}

void CServerDlg::start_server() {
  if (running_ || stuck_) return;
  // The connection server reports its own failures (a busy port among them).
  int port = settings().port;
  if (engine_.start(port) != 1) return;
  running_ = true;
  stuck_port_ = port;
  set_state_online();
  start_control();
}

void CServerDlg::stop_server() {
  if (!running_) return;
  running_ = false;
  // tvlctl works on the files again from here on.
  control_.stop();
  if ((shutdown_ ? shutdown_(engine_) : engine_.stop()) == 1) {
    set_state_offline();
    return;
  }
  // Threads were abandoned and may still hold the port and serve: say so,
  // and offer Start again only once the port is free.
  stuck_ = true;
  set_state_stuck();
  port_timer_->start();
}

void CServerDlg::check_port_free() {
  if (!engine_.listen_problem(stuck_port_).empty()) return;
  port_timer_->stop();
  stuck_ = false;
  set_state_offline();
}

void CServerDlg::start_control() {
  std::string reason;
  const std::string path = tvl::control_socket_path();
  // Called on the control thread: the command is run on this thread, later.
  auto wake = [this] {
    QMetaObject::invokeMethod(this, [this] { answer_control(); }, Qt::QueuedConnection);
  };
  (void)tvl::make_directory(tvl::state_folder());  // as the service does; a failure shows below
  if (control_.start(path, wake, reason) || control_failure_told_) return;
  // Told once: the reason (no state folder of one's own, another server on
  // the socket) does not change from one Start to the next.
  control_failure_told_ = true;
  tvl::message_box("Tavella", tvl::ControlServer::unreachable_text(path, reason),
                   tvl::MessageIcon::Warning);
}

void CServerDlg::answer_control() {
  tvl::OperatorTarget target;
  target.program_folder = program_folder();
  target.engine = &engine_;  // no reload: the Options page holds the window's options
  control_.answer_waiting(target);
  refresh_lists();
}

void CServerDlg::refresh_lists() {
  if (QApplication::activeModalWidget()) {
    if (!refresh_pending_) {
      refresh_pending_ = true;
      QTimer::singleShot(kListRefreshRetryMs, this, [this] {
        refresh_pending_ = false;
        refresh_lists();
      });
    }
    return;
  }
  if (rooms_page_) rooms_page_->fill();
  if (users_page_) users_page_->fill();
}

void CServerDlg::save_settings(const tvl::ServerSettings& values) {
  tvl::save_settings(engine_.site(), values);
}

void CServerDlg::load_rooms() { tvl::load_rooms(program_folder(), engine_.state()); }

void CServerDlg::reload_and_restart() {
  tvl::load_templates(engine_.site());
  stop_server();
  start_server();
}

void CServerDlg::on_exit() {
  stop_server();
  close();
}

void CServerDlg::closeEvent(QCloseEvent* event) {
  stop_server();
  event->accept();
  emit ended();
}

// Enter has no meaning in this window and Escape must never close it.
void CServerDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      return;
    default:
      QMainWindow::keyPressEvent(event);
  }
}

// Minimising hides the window to the tray; without a notification area it
// stays minimised so it can be brought back.
void CServerDlg::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || starting_minimized_) return;
  if (isMinimized() && tray_ && tray_->present())
    QTimer::singleShot(0, this, [this] { if (isMinimized()) hide(); });
}

// The help pages ship in the program folder; a missing page is not reported.
void CServerDlg::on_help() {
  const std::string page = program_folder() + "help/index.html";
  if (tvl::is_regular_file(page)) open_window_link(page, tvl::kShowNormal);
}

void CServerDlg::on_about() {
  CAboutDlg about(this);
  run_dialog(about);
}

void CServerDlg::show_main_window() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}
