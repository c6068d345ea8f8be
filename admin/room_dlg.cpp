#include "admin/room_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/dialog_seam.h"
#include "admin/fit_columns.h"
#include "admin/user_picker_dlg.h"
#include "storage/account_store.h"

namespace tvl {

CRoomDlg::CRoomDlg(const std::string& program_folder, const tvl::RoomValues& values,
                   QWidget* parent)
    : QDialog(parent), program_folder_(program_folder), values_(values) {
  setWindowTitle("Add room");
  name_ = new QLineEdit(QString::fromStdString(values.name));
  admins_ = new QTreeWidget;
  admins_->setRootIsDecorated(false);
  admins_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  admins_->setHeaderLabels({"Name"});
  admins_->header()->setStretchLastSection(false);
  auto* add = new QPushButton("Add...");
  auto* remove = new QPushButton("Delete");
  guest_ = new QCheckBox("Enable guest to login");
  guest_->setChecked(values.guest);
  admin_only_ = new QCheckBox("Only Administrators can login");
  admin_only_->setChecked(values.admin_only);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Name:"));
  layout->addWidget(name_);
  auto* admin_row = new QHBoxLayout;
  admin_row->addWidget(new QLabel("Administrators:"), 1);
  admin_row->addWidget(add);
  admin_row->addWidget(remove);
  layout->addLayout(admin_row);
  layout->addWidget(admins_, 1);
  layout->addWidget(guest_);
  layout->addWidget(admin_only_);
  layout->addWidget(buttons);
  resize(260, 272);

  connect(add, &QPushButton::clicked, this, &CRoomDlg::on_add_admins);
  connect(remove, &QPushButton::clicked, this, &CRoomDlg::on_delete_admin);
  connect(buttons, &QDialogButtonBox::accepted, this, &CRoomDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CRoomDlg::reject);

  fit_columns(admins_);
  if (!values.admin.empty()) {
    setWindowTitle("Edit room");
    add_admins(QString::fromStdString(values.admin).split(','));
  }
  values_.admin.clear();
}

void CRoomDlg::add_admins(const QStringList& names) {
  const QIcon icon(":/icons/user.png");
  for (const QString& name : names) {
    // An empty piece (",," or a trailing comma) names nobody.
    if (name.isEmpty()) continue;
    bool listed = false;
    for (int i = 0; i < admins_->topLevelItemCount() && !listed; ++i)
      listed = admins_->topLevelItem(i)->text(0).startsWith(name, Qt::CaseInsensitive);
    if (listed) continue;
    auto* item = new QTreeWidgetItem(admins_, QStringList{name});
    item->setIcon(0, icon);
  }
  fit_columns(admins_);
}

void CRoomDlg::on_add_admins() {
  tvl::FileAccountStore files(program_folder_);
  CUserPickerDlg picker(accounts_ ? *accounts_ : files, this);
  if (run_dialog(picker) != QDialog::Accepted) return;
  add_admins(QString::fromStdString(picker.result()).split(','));
}

void CRoomDlg::on_delete_admin() {
  for (int i = 0; i < admins_->topLevelItemCount(); ++i) {
    if (admins_->topLevelItem(i)->isSelected()) {
      delete admins_->takeTopLevelItem(i);
      return;
    }
  }
}

void CRoomDlg::accept() {
  QStringList rows;
  for (int i = 0; i < admins_->topLevelItemCount(); ++i) rows << admins_->topLevelItem(i)->text(0);
  QString joined = rows.join(',');
  while (joined.startsWith(',')) joined.remove(0, 1);
  values_.admin = joined.toStdString();
  values_.name = name_->text().toStdString();
  values_.guest = guest_->isChecked();
  values_.admin_only = admin_only_->isChecked();
  QDialog::accept();
}

}  // namespace tvl
