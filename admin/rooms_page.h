// CRoomsPage: the "Rooms" tab: the rooms of rooms.sdb.
// Created once by the main window, lives as long as it; runs on the
// user-interface thread and reaches the chat through the window.
#pragma once
#include <QWidget>

class CServerDlg;

class CRoomsPage : public QWidget {
  Q_OBJECT

 public:
  CRoomsPage(CServerDlg& owner, QWidget* parent);

 private:
  CServerDlg& owner_;
};
