#include "admin/log_page.h"

#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/fit_columns.h"
#include "admin/ip_entries.h"
#include "admin/server_dlg.h"
#include "platform/fs.h"

CLogPage::CLogPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  list_ = new QTreeWidget;
  list_->setColumnCount(3);
  list_->setHeaderLabels({"IP Address", "Time", "Message"});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->header()->setStretchLastSection(false);
  list_->setIconSize(QSize(16, 16));
  icon_ = QIcon(":/icons/log.png");
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
}

void CLogPage::add_row(const QString& address, const QString& time, const QString& text) {
  while (list_->topLevelItemCount() >= kMaxRows) delete list_->takeTopLevelItem(0);
  auto* row = new QTreeWidgetItem({address, time, text});
  row->setIcon(0, icon_);
  list_->addTopLevelItem(row);
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

void CLogPage::clear_all() { list_->clear(); }

void CLogPage::show_menu(const QPoint& pos) { menu_->popup(list_->viewport()->mapToGlobal(pos)); }

void CLogPage::add_selected(bool accept) {
  const QList<QTreeWidgetItem*> selected = list_->selectedItems();
  if (selected.isEmpty()) return;
  const std::string address = selected.first()->text(0).toStdString();
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
