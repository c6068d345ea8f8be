#include "admin/users_page.h"

#include "admin/server_dlg.h"

CUsersPage::CUsersPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
