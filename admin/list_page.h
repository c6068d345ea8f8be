// The frame of the Rooms and Users tabs: "Add...", "Edit..." and "Delete"
// in a row above a one-row-selection list; the buttons keep their place and
// the list keeps its margins to the page's right and bottom edges when the
// page is resized. The list is a QTreeView over the page's CListModel.
#pragma once

class QPushButton;
class QTreeView;
class QWidget;

namespace tvl {

class CListModel;

struct ListPage {
  QTreeView* list;
  QPushButton* add;
  QPushButton* edit;
  QPushButton* remove;
};

// Builds the buttons and the list (showing `model`) into `page`.
ListPage build_list_page(QWidget* page, CListModel* model);

// The selected row of the list; -1 when none is.
int selected_row(const QTreeView* list);
// Makes `row` the current and only selected row (-1: none).
void select_row(QTreeView* list, int row);

}  // namespace tvl
