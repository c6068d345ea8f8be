// CLogPage: the "Logs" tab, the live list of chat events.
// Created once by the main window, lives as long as it; runs on the
// user-interface thread. Rows arrive through add_row, which the window calls
// on this thread for every log_chat_event (client threads queue the call and
// never wait for it).
#pragma once
#include <QString>
#include <QWidget>

class CServerDlg;

class CLogPage : public QWidget {
  Q_OBJECT

 public:
  CLogPage(CServerDlg& owner, QWidget* parent);

 public slots:
  // The list part of log_chat_event: one row (address, time, text).
  void add_row(const QString& address, const QString& time, const QString& text);

 private:
  CServerDlg& owner_;
};
