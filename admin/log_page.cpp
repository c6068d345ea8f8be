#include "admin/log_page.h"

#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include "admin/fit_columns.h"
#include "admin/ip_entries.h"
#include "admin/log_model.h"
#include "admin/server_controller.h"
#include "platform/fs.h"

CLogPage::CLogPage(tvl::ServerController& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  model_ = new CLogModel(kMaxRows, QIcon(":/icons/log.png"), this);
  list_ = new QTreeView;
  list_->setModel(model_);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->header()->setStretchLastSection(false);
  list_->setIconSize(QSize(16, 16));
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this, &CLogPage::show_menu);
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(10, 10, 10, 10);
  box->addWidget(list_);
  fit_columns(list_);

  menu_ = new QMenu(this);
  clear_ = menu_->addAction("Clear All", this, &CLogPage::clear_all);
  accept_ = menu_->addAction("Add this ip to IP filter(accept)", this,
                             &CLogPage::add_selected_to_accept);
  reject_ = menu_->addAction("Add this ip to IP filter(reject)", this,
                             &CLogPage::add_selected_to_reject);
  connect(&owner_, &tvl::ServerController::logRowAdded, this, &CLogPage::add_row);
}

void CLogPage::add_row(const QString& address, const QString& time, const QString& text) {
  model_->add_row(address, time, text);
  fit_later();
}

// Sizing measures the whole list; one measurement per turn of the event loop
// covers every row that arrived in it.
void CLogPage::fit_later() {
  if (fit_pending_) return;
  fit_pending_ = true;
  QTimer::singleShot(0, this, [this] {
    fit_pending_ = false;
    fit_columns(list_);
  });
}

void CLogPage::clear_all() { model_->clear(); }

void CLogPage::show_menu(const QPoint& pos) { menu_->popup(list_->viewport()->mapToGlobal(pos)); }

void CLogPage::add_selected(bool accept) {
  const QModelIndexList selected = list_->selectionModel()->selectedRows();
  if (selected.isEmpty()) return;
  const std::string address = model_->text(selected.first().row(), CLogModel::kAddress).toStdString();
  tvl::SiteData& site = owner_.site_data();
  tvl::SharedText& list = accept ? site.accept_list : site.reject_list;
  const std::string old = *list.get();
  if (list_covers_address(old, address)) return;
  const std::string fresh = old + "," + address;
  // The server's readers hold snapshots, so replacing the text is safe.
  list.set(fresh);
  // A file that cannot be written keeps its old text; nothing is reported.
  tvl::write_whole_file(owner_.program_folder() + (accept ? "acceptip.txt" : "rejectip.txt"),
                        fresh);
}
