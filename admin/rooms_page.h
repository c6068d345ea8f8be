// CRoomsPage: the "Rooms" tab: the rooms of rooms.sdb, or in a cluster
// the rooms in its Redis (the controller's RoomRecords), with Add, Edit
// and Delete. Every change goes to the store at once (the file is opened
// and closed around the one operation) and then the chat's room tables
// are reloaded, so visitors see it on their next page. A cluster whose
// Redis is away, or that holds no rooms yet, is told in a message; the
// rows stay and nothing changes.
//
// The list (a CListModel) is read from the file when the page is created
// and again after a tvlctl command the window's server ran (fill());
// otherwise only this page's commands change it. Each row holds
// the room's "id" as the stored value of column 0 (kIdRole). "No" is the row's number when it was
// added: after a delete, numbers are not renumbered, so two rows may share
// one.
//
// Lifetime: created once by the main window, lives as long as it.
// Thread safety: user-interface thread only.
#pragma once
#include <QWidget>
#include <string>

#include "admin/list_model.h"
#include "storage/room_store.h"
class QTreeView;

namespace tvl {

class ServerController;

class CRoomsPage : public QWidget {
  Q_OBJECT

 public:
  enum Column { kNo, kName, kAdmins, kGuest, kAdminOnly };
  static constexpr int kIdRole = CListModel::kStoredRole;
  // Columns kName and kAdmins: the stored text as bytes; an edit that leaves
  // a text as shown stores these, since the shown text cannot hold every
  // byte string.
  static constexpr int kBytesRole = CListModel::kStoredRole;

  CRoomsPage(tvl::ServerController& owner, QWidget* parent);

  QTreeView* list() const { return list_; }
  CListModel* model() const { return model_; }

  // Reads the rooms again, numbered afresh (keeping the selected room
  // selected).
  void fill();

 public slots:
  void on_add();     // "Add..."
  void on_edit();    // "Edit..."
  void on_delete();  // "Delete"

 private:
  // The row numbered `number` for room `id` with these values.
  static CListModel::Row shown(const QString& number, int id, const tvl::RoomValues& values);
  // False (after the message) when the values cannot be stored whole.
  bool values_fit(const tvl::RoomValues& values);

  tvl::ServerController& owner_;
  CListModel* model_ = nullptr;
  QTreeView* list_ = nullptr;
};

}  // namespace tvl
