#include "admin/rooms_page.h"

#include <QPushButton>
#include <QTreeView>
#include <cstdio>

#include "admin/dialog_seam.h"
#include "admin/fit_columns.h"
#include "admin/list_page.h"
#include "admin/room_dlg.h"
#include "admin/server_controller.h"
#include "chat/operator_rules.h"
#include "platform/message_box.h"

namespace tvl {

namespace {

const char kCaption[] = "Tavella";

const char* yes_no(bool on) { return on ? "Yes" : "No"; }

void say(const std::string& text) { tvl::message_box(kCaption, text); }

// Why a change of the rooms failed: Redis away when the cluster's does not
// answer, else the store's own reason (a full disk, a damaged file, a
// cluster without rooms).
std::string failure_text(tvl::ServerController& owner, const tvl::Reason& reason) {
  const std::string away = owner.cluster_problem();
  return away.empty() ? reason.text : away;
}

const char kNoClusterRooms[] =
    "The cluster holds no rooms yet: move them in first with tvlctl cluster import.";

}  // namespace

CRoomsPage::CRoomsPage(tvl::ServerController& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  model_ = new CListModel(
      {"No", "Name", "Administrators", "Enable guest", "Only Administrators can login"},
      QIcon(":/icons/room.png"), this);
  const ListPage parts = build_list_page(this, model_);
  list_ = parts.list;
  connect(parts.add, &QPushButton::clicked, this, &CRoomsPage::on_add);
  connect(parts.edit, &QPushButton::clicked, this, &CRoomsPage::on_edit);
  connect(parts.remove, &QPushButton::clicked, this, &CRoomsPage::on_delete);
  fill();
}

void CRoomsPage::fill() {
  const int was = selected_row(list_);
  const QVariant current = was < 0 ? QVariant() : model_->stored(was, kNo);
  std::vector<tvl::RoomRow> rows;
  if (!owner_.rooms().list(rows) && owner_.in_cluster()) {
    // The rows shown stay as they were; a single server's missing file
    // lists no rooms, as it always did.
    const std::string away = owner_.cluster_problem();
    say(away.empty() ? std::string(kNoClusterRooms) : away);
    return;
  }
  std::vector<CListModel::Row> shown_rows;
  int n = 0;
  for (const tvl::RoomRow& r : rows)
    shown_rows.push_back(shown(QString::number(++n), r.id, {r.name, r.admin, r.guest, r.admin_only}));
  model_->set_rows(std::move(shown_rows));
  if (current.isValid()) select_row(list_, model_->find_stored(kNo, current));
  fit_columns(list_);
}

CListModel::Row CRoomsPage::shown(const QString& number, int id, const tvl::RoomValues& v) {
  CListModel::Row row;
  row.texts = {number, QString::fromStdString(v.name), QString::fromStdString(v.admin),
               yes_no(v.guest), yes_no(v.admin_only)};
  row.stored = {id, QByteArray::fromStdString(v.name), QByteArray::fromStdString(v.admin)};
  return row;
}

bool CRoomsPage::values_fit(const tvl::RoomValues& v) {
  const std::string refusal = tvl::room_values_refusal(owner_.program_folder(), v);
  if (refusal.empty()) return true;
  say(refusal);
  return false;
}

void CRoomsPage::on_add() {
  CRoomDlg dlg(owner_.program_folder(), tvl::RoomValues(), this);
  dlg.set_accounts(owner_.accounts());
  if (run_dialog(dlg) == QDialog::Accepted && values_fit(dlg.values())) {
    const tvl::RoomValues& v = dlg.values();
    int id = 0;
    tvl::Reason reason;
    if (owner_.rooms().add(v, id, reason)) {
      const QString number = QString::number(model_->rowCount() + 1);
      select_row(list_, model_->append(shown(number, id, v)));
      fit_columns(list_);
      owner_.load_rooms();  // the room store closed the file already
    } else {
      say(failure_text(owner_, reason));  // nothing was changed
    }
  }
  list_->setFocus();
}

void CRoomsPage::on_edit() {
  const int row = selected_row(list_);
  if (row < 0) {
    say("Please select a room!");
    return;
  }
  // From the row, not from the file.
  tvl::RoomValues in;
  in.name = model_->text(row, kName).toStdString();
  in.admin = model_->text(row, kAdmins).toStdString();
  in.guest = model_->text(row, kGuest) == "Yes";
  in.admin_only = model_->text(row, kAdminOnly) == "Yes";
  const int id = model_->stored(row, kNo).toInt();
  CRoomDlg dlg(owner_.program_folder(), in, this);
  dlg.set_accounts(owner_.accounts());
  if (run_dialog(dlg) == QDialog::Accepted) {
    tvl::RoomValues out = dlg.values();
    // Texts left as shown keep their stored bytes (which need not be UTF-8).
    if (QString::fromStdString(out.name) == model_->text(row, kName))
      out.name = model_->stored(row, kName).toByteArray().toStdString();
    if (QString::fromStdString(out.admin) == model_->text(row, kAdmins))
      out.admin = model_->stored(row, kAdmins).toByteArray().toStdString();
    // A room deleted in the file meanwhile is not found: nothing changes.
    tvl::Reason reason;
    if (values_fit(out) && owner_.rooms().update(id, out, reason)) {
      model_->set_row(row, shown(model_->text(row, kNo), id, out));
      fit_columns(list_);
      owner_.load_rooms();
    } else if (!reason.text.empty()) {
      say(failure_text(owner_, reason));
    }
  }
  list_->setFocus();
}

void CRoomsPage::on_delete() {
  const int row = selected_row(list_);
  if (row < 0) return;
  bool deleted = false;
  tvl::Reason reason;
  if (!owner_.rooms().remove(model_->stored(row, kNo).toInt(), deleted, reason)) {
    say(failure_text(owner_, reason));
    return;
  }
  if (deleted) model_->remove(row);
  fit_columns(list_);
  owner_.load_rooms();
}

}  // namespace tvl
