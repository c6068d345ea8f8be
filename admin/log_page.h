// CLogPage: the "Logs" tab, the live list of chat events.
//
// Its rows are a CLogModel (admin/log_model.h): columns "IP Address",
// "Time", "Message", in arrival order, the newest kMaxRows kept. Columns
// are sized with fit_columns once per event-loop turn rather than after
// every row: a burst of rows is measured once, and the widths the user sees
// after the turn are the same.
//
// Context menu (at the mouse position, with or without a row under it):
// "Clear All" empties the list (the log file stays); the two "Add this ip"
// items put the selected row's address on the accept or reject list: unless
// an entry of that list already covers the address, the list text becomes
// its old text + "," + address (so an empty list starts with a comma) and
// the whole text is written to acceptip.txt or rejectip.txt of the program
// folder. The running server checks the new text from its next request on.
//
// Created once by the main window, lives as long as it; runs on the
// user-interface thread. Rows arrive from the ServerController's
// logRowAdded (client threads queue them and never wait).
#pragma once
#include <QString>
#include <QWidget>

namespace tvl {
class ServerController;
}
class CLogModel;
class QMenu;
class QAction;
class QTreeView;

class CLogPage : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kMaxRows = 1000;

  CLogPage(tvl::ServerController& owner, QWidget* parent);

  QTreeView* list() const { return list_; }
  CLogModel* model() const { return model_; }
  QMenu* context_menu() const { return menu_; }
  QAction* clear_action() const { return clear_; }
  QAction* accept_action() const { return accept_; }
  QAction* reject_action() const { return reject_; }

 public slots:
  // One row (address, time, text) of a chat event.
  void add_row(const QString& address, const QString& time, const QString& text);
  void clear_all();
  void add_selected_to_accept() { add_selected(true); }
  void add_selected_to_reject() { add_selected(false); }
  // Opens the context menu at `pos` of the list's viewport.
  void show_menu(const QPoint& pos);

 private:
  void add_selected(bool accept);
  void fit_later();

  tvl::ServerController& owner_;
  QTreeView* list_ = nullptr;
  CLogModel* model_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* clear_ = nullptr;
  QAction* accept_ = nullptr;
  QAction* reject_ = nullptr;
  bool fit_pending_ = false;
};
