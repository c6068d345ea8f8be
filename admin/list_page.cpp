#include "admin/list_page.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

ListPage build_list_page(QWidget* page, const QStringList& headers) {
  ListPage parts{new QTreeWidget, new QPushButton("Add..."), new QPushButton("Edit..."),
                 new QPushButton("Delete")};
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(20);
  for (QPushButton* b : {parts.add, parts.edit, parts.remove}) {
    b->setFixedSize(63, 20);
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  QTreeWidget* list = parts.list;
  list->setRootIsDecorated(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setHeaderLabels(headers);
  list->header()->setStretchLastSection(false);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(10, 14, 10, 14);
  layout->setSpacing(6);
  layout->addLayout(buttons);
  layout->addWidget(list, 1);
  return parts;
}
