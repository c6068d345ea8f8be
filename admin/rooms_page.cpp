#include "admin/rooms_page.h"

#include <QPushButton>
#include <QTreeWidget>
#include <cstdio>

#include "admin/dialog_seam.h"
#include "admin/fit_columns.h"
#include "admin/list_page.h"
#include "admin/room_dlg.h"
#include "admin/server_dlg.h"
#include "chat/operator_rules.h"
#include "platform/message_box.h"

namespace {

const char kCaption[] = "Tavella";

const char* yes_no(bool on) { return on ? "Yes" : "No"; }

void say(const std::string& text) { tvl::message_box(kCaption, text); }

}  // namespace

CRoomsPage::CRoomsPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  const ListPage parts = build_list_page(
      this, {"No", "Name", "Administrators", "Enable guest", "Only Administrators can login"});
  list_ = parts.list;
  connect(parts.add, &QPushButton::clicked, this, &CRoomsPage::on_add);
  connect(parts.edit, &QPushButton::clicked, this, &CRoomsPage::on_edit);
  connect(parts.remove, &QPushButton::clicked, this, &CRoomsPage::on_delete);
  fill();
}

void CRoomsPage::fill() {
  fit_columns(list_);
  std::vector<tvl::RoomRow> rows;
  tvl::list_room_rows(owner_.program_folder(), rows);
  const QIcon icon(":/icons/room.png");
  int n = 0;
  for (const tvl::RoomRow& r : rows) {
    auto* item = new QTreeWidgetItem(list_);
    item->setIcon(kNo, icon);
    item->setText(kNo, QString::number(++n));
    item->setData(kNo, kIdRole, r.id);
    show_values(item, {r.name, r.admin, r.guest, r.admin_only});
  }
  fit_columns(list_);
}

void CRoomsPage::show_values(QTreeWidgetItem* row, const tvl::RoomValues& v) {
  row->setText(kName, QString::fromStdString(v.name));
  row->setData(kName, kBytesRole, QByteArray::fromStdString(v.name));
  row->setText(kAdmins, QString::fromStdString(v.admin));
  row->setData(kAdmins, kBytesRole, QByteArray::fromStdString(v.admin));
  row->setText(kGuest, yes_no(v.guest));
  row->setText(kAdminOnly, yes_no(v.admin_only));
}

bool CRoomsPage::values_fit(const tvl::RoomValues& v) {
  const std::string refusal = tvl::room_values_refusal(owner_.program_folder(), v);
  if (refusal.empty()) return true;
  say(refusal);
  return false;
}

void CRoomsPage::on_add() {
  CRoomDlg dlg(owner_.program_folder(), tvl::RoomValues(), this);
  if (run_dialog(dlg) == QDialog::Accepted && values_fit(dlg.values())) {
    const tvl::RoomValues& v = dlg.values();
    int id = 0;
    if (tvl::add_room(owner_.program_folder(), v, id)) {
      auto* item = new QTreeWidgetItem;
      item->setIcon(kNo, QIcon(":/icons/room.png"));
      item->setText(kNo, QString::number(list_->topLevelItemCount() + 1));
      item->setData(kNo, kIdRole, id);
      show_values(item, v);
      list_->addTopLevelItem(item);
      list_->setCurrentItem(item);
      fit_columns(list_);
      owner_.load_rooms();  // the room store closed the file already
    }
  }
  list_->setFocus();
}

void CRoomsPage::on_edit() {
  QTreeWidgetItem* row = list_->selectedItems().value(0);
  if (!row) {
    say("Please select a room!");
    return;
  }
  // From the row, not from the file.
  tvl::RoomValues in;
  in.name = row->text(kName).toStdString();
  in.admin = row->text(kAdmins).toStdString();
  in.guest = row->text(kGuest) == "Yes";
  in.admin_only = row->text(kAdminOnly) == "Yes";
  const int id = row->data(kNo, kIdRole).toInt();
  CRoomDlg dlg(owner_.program_folder(), in, this);
  if (run_dialog(dlg) == QDialog::Accepted) {
    tvl::RoomValues out = dlg.values();
    // Texts left as shown keep their stored bytes (which need not be UTF-8).
    if (QString::fromStdString(out.name) == row->text(kName))
      out.name = row->data(kName, kBytesRole).toByteArray().toStdString();
    if (QString::fromStdString(out.admin) == row->text(kAdmins))
      out.admin = row->data(kAdmins, kBytesRole).toByteArray().toStdString();
    // A room deleted in the file meanwhile is not found: nothing changes.
    if (values_fit(out) && tvl::update_room(owner_.program_folder(), id, out)) {
      show_values(row, out);
      fit_columns(list_);
      owner_.load_rooms();
    }
  }
  list_->setFocus();
}

void CRoomsPage::on_delete() {
  QTreeWidgetItem* row = list_->selectedItems().value(0);
  if (!row) return;
  bool deleted = false;
  if (!tvl::delete_room(owner_.program_folder(), row->data(kNo, kIdRole).toInt(), deleted)) return;
  if (deleted) delete row;
  fit_columns(list_);
  owner_.load_rooms();
}
