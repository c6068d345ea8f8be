#include "admin/user_picker_dlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "admin/fit_columns.h"
#include "admin/server_controller.h"
#include "platform/message_box.h"
#include "storage/account_store.h"

namespace tvl {

CUserPickerDlg::CUserPickerDlg(const std::string& program_folder, QWidget* parent)
    : QDialog(parent) {
  tvl::FileAccountStore files(program_folder);
  build(files);
}

CUserPickerDlg::CUserPickerDlg(tvl::AccountStore& accounts, QWidget* parent) : QDialog(parent) {
  build(accounts);
}

void CUserPickerDlg::build(tvl::AccountStore& accounts) {
  setWindowTitle("Users list");
  list_ = new QTreeWidget;
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setHeaderLabels({"Name", "Email"});
  list_->header()->setStretchLastSection(false);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addWidget(buttons);
  resize(266, 240);
  connect(buttons, &QDialogButtonBox::accepted, this, &CUserPickerDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CUserPickerDlg::reject);

  const QIcon icon(":/icons/user.png");
  std::vector<tvl::AccountListing> listed;
  tvl::Reason why;
  if (!accounts.list_all(listed, why)) {
    tvl::message_box("Tavella", tvl::ServerController::cluster_away_text(why.text));
    listed.clear();  // part of a list is no list to choose from
  }
  for (const tvl::AccountListing& a : listed) {
    auto* item = new QTreeWidgetItem(
        list_, QStringList{QString::fromStdString(a.name), QString::fromStdString(a.email)});
    item->setIcon(0, icon);
  }
  fit_columns(list_);
}

void CUserPickerDlg::accept() {
  QStringList chosen;
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    if (list_->topLevelItem(i)->isSelected()) chosen << list_->topLevelItem(i)->text(0);
  result_ = chosen.join(',').toStdString();
  QDialog::accept();
}

}  // namespace tvl
