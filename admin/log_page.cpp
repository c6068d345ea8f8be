#include "admin/log_page.h"

#include "admin/server_dlg.h"

CLogPage::CLogPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {}

void CLogPage::add_row(const QString& address, const QString& time, const QString& text) {}
