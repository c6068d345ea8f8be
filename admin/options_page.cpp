#include "admin/options_page.h"

#include "admin/server_dlg.h"

COptionsPage::COptionsPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
