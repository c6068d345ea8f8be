// CUsersPage: the "Users" tab: the accounts under users/.
// Created once by the main window, lives as long as it; runs on the
// user-interface thread and reaches the chat through the window.
#pragma once
#include <QWidget>

class CServerDlg;

class CUsersPage : public QWidget {
  Q_OBJECT

 public:
  CUsersPage(CServerDlg& owner, QWidget* parent);

 private:
  CServerDlg& owner_;
};
