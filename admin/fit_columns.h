// Column sizing shared by every list of the window.
//
// All lists of the window (rooms, users, log, administrators, user picker)
// are tree views in report style (QTreeWidget, or a QTreeView over a
// CListModel): root items only, no decoration
// (setRootIsDecorated(false)), one column per field, a header that is not
// stretched (so fit_columns decides every width), full-row selection.
#pragma once

class QTreeView;

namespace tvl {

// Every column gets the larger of its content width and its header width,
// at least 10 pixels. Repainting is held off while the widths change.
void fit_columns(QTreeView* list);

}  // namespace tvl
