#include "admin/fit_columns.h"

#include <QHeaderView>
#include <QTreeView>
#include <algorithm>

namespace tvl {

void fit_columns(QTreeView* list) {
  if (!list) return;
  QHeaderView* header = list->header();
  for (int c = 0; c < header->count(); ++c) {
    list->resizeColumnToContents(c);
    int content = list->columnWidth(c);
    int title = header->sectionSizeHint(c);
    list->setColumnWidth(c, std::max({content, title, 10}));
  }
}

}  // namespace tvl
