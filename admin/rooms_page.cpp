#include "admin/rooms_page.h"

#include "admin/server_dlg.h"

CRoomsPage::CRoomsPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
