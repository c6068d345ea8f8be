// The frame of the Rooms and Users tabs: "Add...", "Edit..." and "Delete"
// in a row above a one-row-selection list; the buttons keep their place and
// the list keeps its margins to the page's right and bottom edges when the
// page is resized.
#pragma once
#include <QStringList>

class QPushButton;
class QTreeWidget;
class QWidget;

struct ListPage {
  QTreeWidget* list;
  QPushButton* add;
  QPushButton* edit;
  QPushButton* remove;
};

// Builds the buttons and the list (with these column headers) into `page`.
ListPage build_list_page(QWidget* page, const QStringList& headers);
