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
#include <QSignalBlocker>
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
#include "platform/fs.h"

// Resources of a static library are registered by hand.
static void init_admin_resources() { Q_INIT_RESOURCE(tavella); }

namespace tvl {

const char CServerDlg::kTitle[] = "Tavella Server v1.2 ";
const char CServerDlg::kOnlineText[] = "Tavella Server is online.";
const char CServerDlg::kOfflineText[] = "Tavella Server is offline.";
const char CServerDlg::kStuckText[] =
    "Tavella Server did not stop cleanly; waiting for the port to be free.";

namespace {
// Delay of the hide that follows a start with `minimize`.
constexpr int kMinimizeDelayMs = 200;
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

CServerDlg::CServerDlg(const Setup& setup, QWidget* parent) : QMainWindow(parent) {
  init_admin_resources();
  // The controls with their initial texts, icons and tooltips come first.
  build_window();
  // Settings, templates, IP lists and rooms.
  controller_ = std::make_unique<tvl::ServerController>(setup);
  connect(controller_.get(), &tvl::ServerController::stateChanged, this, &CServerDlg::show_state);
  connect(controller_.get(), &tvl::ServerController::listsChanged, this, &CServerDlg::refresh_lists);
  build_pages();
  build_tray();
  // Start at once when asked to.
  if (controller_->settings().auto_active) start_server();
  place_and_show();
}

CServerDlg::~CServerDlg() {
  // First the server (and every client thread that could still queue a row),
  // then the tray icon, then the rest.
  controller_->shut_down();
  tray_.reset();
}

// The tabs and their pages; the pages read what was just loaded.
void CServerDlg::build_pages() {
  options_page_ = new COptionsPage(*controller_, nullptr);
  log_page_ = new CLogPage(*controller_, nullptr);
  users_page_ = new CUsersPage(*controller_, nullptr);
  rooms_page_ = new CRoomsPage(*controller_, nullptr);
  tabs_->addTab(options_page_, "Options");
  tabs_->addTab(log_page_, "Logs");
  tabs_->addTab(users_page_, "Users");
  tabs_->addTab(rooms_page_, "Rooms");
  tabs_->setCurrentIndex(0);
}

// The tray icon; its menu's items are this window's commands.
void CServerDlg::build_tray() {
  tray_ = std::make_unique<CSystemTray>();
  connect(tray_.get(), &CSystemTray::showRequested, this, &CServerDlg::show_main_window);
  connect(tray_.get(), &CSystemTray::startRequested, this, &CServerDlg::start_server);
  connect(tray_.get(), &CSystemTray::stopRequested, this, &CServerDlg::stop_server);
  connect(tray_.get(), &CSystemTray::aboutRequested, this, &CServerDlg::on_about);
  connect(tray_.get(), &CSystemTray::helpRequested, this, &CServerDlg::on_help);
  connect(tray_.get(), &CSystemTray::exitRequested, this, &CServerDlg::on_exit);
  tray_->Create("Tavella Server", windowIcon());
}

// Centred on the screen; shown, or shown minimised and hidden to the tray a
// moment later. Without a notification area a hidden window could not be
// brought back, so it stays minimised on the task bar.
void CServerDlg::place_and_show() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
  }
  if (!controller_->settings().minimize) {
    show();
    return;
  }
  starting_minimized_ = true;
  showMinimized();
  if (tray_->present())
    QTimer::singleShot(kMinimizeDelayMs, this, [this] {
      starting_minimized_ = false;
      if (isMinimized()) hide();
    });
  else
    starting_minimized_ = false;
}

// Closes guest entry to the whole chat while checked (members still enter);
// unchecking opens the chat and every room tvlctl closed. tvlctl may change
// it behind the window, so the menu shows the chat's state when it opens.
void CServerDlg::build_guest_entry_action(QMenu* menu) {
  QAction* guests = menu->addAction("Close Guest Entry");
  guests->setCheckable(true);
  connect(guests, &QAction::toggled, this, [this](bool closed) {
    tvl::GuestEntry& entry = controller_->engine().pages().context().guards->guests;
    if (closed) (void)entry.close("");  // the window's chat runs alone: it always closes
    else (void)entry.open("");
  });
  connect(menu, &QMenu::aboutToShow, this, [this, guests] {
    const QSignalBlocker quiet(guests);
    guests->setChecked(controller_->engine().pages().context().guards->guests.closed(""));
  });
}

void CServerDlg::build_window() {
  setWindowTitle(kTitle);
  setWindowIcon(QIcon(":/icons/tavella.png"));

  QMenu* server = menuBar()->addMenu("&Server");
  server->addAction("Start Server", this, &CServerDlg::start_server);
  server->addAction("Stop Server", this, &CServerDlg::stop_server);
  build_guest_entry_action(server);
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
  start_button_ = make_button("start", "Start the server", &CServerDlg::start_server);
  stop_button_ = make_button("stop", "Stop the server", &CServerDlg::stop_server);
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

  show_state(tvl::ServerState::Offline);
}

QString CServerDlg::status_text() const { return status_->text(); }

void CServerDlg::show_state(tvl::ServerState state) {
  start_button_->setEnabled(state == tvl::ServerState::Offline);
  stop_button_->setEnabled(state == tvl::ServerState::Online);
  switch (state) {
    case tvl::ServerState::Offline: status_->setText(kOfflineText); break;
    case tvl::ServerState::Online: status_->setText(kOnlineText); break;
    case tvl::ServerState::Stuck: status_->setText(kStuckText); break;
  }
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
  const std::string page = controller_->program_folder() + "help/index.html";
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

}  // namespace tvl
