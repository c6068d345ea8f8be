// COptionsPage: the "Options" tab: settings, addresses, IP filter and service dialogs.
// Created once by the main window, lives as long as it; runs on the
// user-interface thread and reaches the chat through the window.
#pragma once
#include <QWidget>

class CServerDlg;

class COptionsPage : public QWidget {
  Q_OBJECT

 public:
  COptionsPage(CServerDlg& owner, QWidget* parent);

 private:
  CServerDlg& owner_;
};
