// CRoomDlg: the room dialog ("Add room" / "Edit room"): the room's name, its
// administrators (a list the picker adds to) and the two admission flags.
// The caller passes the current values; after Accepted, values() holds the
// new ones. The dialog checks nothing: the page decides what it stores.
// Lifetime: one modal run, on the user-interface thread.
#pragma once
#include <QDialog>
#include <QStringList>
#include <string>

#include "storage/room_store.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace tvl {

class AccountStore;

class CRoomDlg : public QDialog {
  Q_OBJECT

 public:
  // values.admin empty gives the title "Add room", also for an edit.
  CRoomDlg(const std::string& program_folder, const tvl::RoomValues& values,
           QWidget* parent = nullptr);

  // After Accepted: the name, the flags and the administrators text (the
  // rows in list order joined with ",").
  const tvl::RoomValues& values() const { return values_; }

  QLineEdit* name_edit() const { return name_; }
  QTreeWidget* admins_list() const { return admins_; }
  QCheckBox* guest_box() const { return guest_; }
  QCheckBox* admin_only_box() const { return admin_only_; }

  // The accounts the administrators picker lists (outlive the dialog);
  // not set: the program folder's files.
  void set_accounts(tvl::AccountStore& accounts) { accounts_ = &accounts; }

  // Adds each name as a row unless a row already begins with it (ignoring
  // case): "Ann" is not added while "Anna" is listed.
  void add_admins(const QStringList& names);

 public slots:
  void on_add_admins();    // the picker; its choice is added as above
  void on_delete_admin();  // removes the first selected row
  void accept() override;

 private:
  std::string program_folder_;
  tvl::AccountStore* accounts_ = nullptr;
  tvl::RoomValues values_;
  QLineEdit* name_ = nullptr;
  QTreeWidget* admins_ = nullptr;
  QCheckBox* guest_ = nullptr;
  QCheckBox* admin_only_ = nullptr;
};

}  // namespace tvl
