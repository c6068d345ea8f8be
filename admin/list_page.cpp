#include "admin/list_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "admin/list_model.h"

namespace tvl {

ListPage build_list_page(QWidget* page, CListModel* model) {
  ListPage parts{new QTreeView, new QPushButton("Add..."), new QPushButton("Edit..."),
                 new QPushButton("Delete")};
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(20);
  for (QPushButton* b : {parts.add, parts.edit, parts.remove}) {
    b->setFixedSize(63, 20);
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  QTreeView* list = parts.list;
  list->setModel(model);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->header()->setStretchLastSection(false);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(10, 14, 10, 14);
  layout->setSpacing(6);
  layout->addLayout(buttons);
  layout->addWidget(list, 1);
  return parts;
}

int selected_row(const QTreeView* list) {
  const QModelIndexList rows = list->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void select_row(QTreeView* list, int row) {
  QItemSelectionModel* selection = list->selectionModel();
  if (row < 0 || row >= list->model()->rowCount()) {
    selection->clear();
    return;
  }
  selection->setCurrentIndex(list->model()->index(row, 0),
                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace tvl
