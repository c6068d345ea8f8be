#include "admin/users_page.h"

#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>

#include "admin/dialog_seam.h"
#include "admin/fit_columns.h"
#include "admin/list_page.h"
#include "admin/server_dlg.h"
#include "admin/user_dlg.h"
#include "chat/operator_rules.h"
#include "platform/message_box.h"
#include "storage/account.h"
#include "storage/account_name.h"

namespace {

const char kCaption[] = "Tavella";
const char* const kBadName = tvl::kAccountNameMessage;

void say(const char* text) { tvl::message_box(kCaption, text); }

bool name_allowed(const std::string& name) { return tvl::member_name_allowed(name); }

// True when the account was written; otherwise says why not.
bool written(tvl::AccountChange change) {
  if (const char* refusal = tvl::account_change_message(change)) say(refusal);
  return change == tvl::AccountChange::kWritten;
}

// Names compare as the storage layer compares them: one account under full
// case folding.
bool same_ignoring_case(const std::string& a, const std::string& b) {
  return tvl::same_account_name(a, b);
}

// The password column tells only whether one is set: the file holds a hash.
QString password_shown(const std::string& stored) { return stored.empty() ? QString() : "set"; }

tvl::MemberValues member_values(const UserDlgValues& v) {
  tvl::MemberValues m;
  m.password = v.password;
  m.sex = v.gender;
  m.icon = v.icon;
  m.email = v.email;
  m.profile = v.profile;
  m.disabled = v.disabled;
  return m;
}

}  // namespace

QString CUsersPage::gender_text(const std::string& number) {
  if (number == "0") return "Female";
  if (number == "1") return "Male";
  if (number == "2") return "Confidential";
  return QString();
}

CUsersPage::CUsersPage(CServerDlg& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  const ListPage parts = build_list_page(
      this, {"Name", "Password", "Gender", "Icon", "Email", "Profile", "Disabled"});
  list_ = parts.list;
  connect(parts.add, &QPushButton::clicked, this, &CUsersPage::on_add);
  connect(parts.edit, &QPushButton::clicked, this, &CUsersPage::on_edit);
  connect(parts.remove, &QPushButton::clicked, this, &CUsersPage::on_delete);
  fill();
}

void CUsersPage::showEvent(QShowEvent* event) {
  // Accounts registered or changed over the web meanwhile show at once.
  fill();
  QWidget::showEvent(event);
}

void CUsersPage::fill() {
  const QByteArray current =
      list_->currentItem() ? list_->currentItem()->data(kName, kFileRole).toByteArray() : QByteArray();
  list_->clear();
  fit_columns(list_);
  const QIcon icon(":/icons/user.png");
  for (const tvl::AccountListing& a : tvl::list_accounts(owner_.program_folder())) {
    auto* item = new QTreeWidgetItem(list_);
    item->setIcon(kName, icon);
    item->setText(kName, QString::fromStdString(a.name));
    item->setData(kName, kFileRole, QByteArray::fromStdString(a.name));
    item->setText(kPassword, password_shown(a.password));
    if (!current.isEmpty() && item->data(kName, kFileRole).toByteArray() == current)
      list_->setCurrentItem(item);
    // "Sex" counts by its decimal value: "01" is still "Male".
    item->setText(kGender, gender_text(std::to_string(std::atoi(a.sex.c_str()))));
    item->setText(kIcon, QString::fromStdString(a.icon));
    item->setText(kEmail, QString::fromStdString(a.email));
    item->setText(kProfile, QString::fromStdString(a.profile));
    item->setText(kDisabled, QString::fromStdString(a.disabled));
  }
  fit_columns(list_);
}

void CUsersPage::show_values(QTreeWidgetItem* row, const UserDlgValues& v, bool with_name) {
  if (with_name) {
    row->setText(kName, QString::fromStdString(v.name));
    row->setData(kName, kFileRole, QByteArray::fromStdString(v.name));
  }
  // An empty password in the dialog kept the stored one.
  if (!v.password.empty() || row->text(kPassword).isEmpty())
    row->setText(kPassword, password_shown(v.password));
  row->setText(kGender, gender_text(v.gender));
  row->setText(kIcon, QString::fromStdString(v.icon));
  row->setText(kEmail, QString::fromStdString(v.email));
  row->setText(kProfile, QString::fromStdString(v.profile));
  row->setText(kDisabled, v.disabled ? "Yes" : "No");
}

void CUsersPage::on_add() {
  CUserDlg dlg(owner_.program_folder(), UserDlgValues(), this);
  if (run_dialog(dlg) == QDialog::Accepted) {
    const UserDlgValues& v = dlg.values();
    if (!name_allowed(v.name)) {
      say(kBadName);
    } else {
      if (written(tvl::add_member(owner_.program_folder(), v.name, member_values(v)))) {
        auto* item = new QTreeWidgetItem;
        item->setIcon(kName, QIcon(":/icons/user.png"));
        show_values(item, v, true);
        list_->addTopLevelItem(item);
        list_->setCurrentItem(item);
        fit_columns(list_);
      }
    }
  }
  list_->setFocus();
}

void CUsersPage::on_edit() {
  QTreeWidgetItem* row = list_->selectedItems().value(0);
  if (!row) {
    say("Please select a user!");
    return;
  }
  // From the file, not from the row: the visitor may have changed the
  // account over the web since the list was read. The password starts
  // empty (empty keeps the stored one).
  const std::string old_name = row->data(kName, kFileRole).toByteArray().toStdString();
  tvl::AccountListing stored_values;
  if (!tvl::read_account(owner_.program_folder(), old_name, stored_values)) {
    say("Please select a user!");
    fill();
    return;
  }
  UserDlgValues in;
  in.name = row->text(kName).toStdString();
  in.gender = gender_text(std::to_string(std::atoi(stored_values.sex.c_str()))).toStdString();
  in.icon = stored_values.icon;
  in.email = stored_values.email;
  in.profile = stored_values.profile;
  in.disabled = stored_values.disabled != "No";
  CUserDlg dlg(owner_.program_folder(), in, this);
  if (run_dialog(dlg) == QDialog::Accepted) {
    UserDlgValues v = dlg.values();
    // The name left as shown is the file's own name, whatever its bytes.
    if (QString::fromStdString(v.name) == row->text(kName)) v.name = old_name;
    // Only a new name (not another spelling of this one) must pass the rule:
    // an account made by hand under an odd name can still be edited.
    if (!same_ignoring_case(v.name, old_name) && !name_allowed(v.name)) {
      say(kBadName);
    } else {
      std::string stored;
      if (written(tvl::edit_member(owner_.program_folder(), old_name, v.name, member_values(v),
                                   stored))) {
        // The same file (maybe typed in another case) keeps its name and
        // the row its spelling; a rename shows the new name.
        show_values(row, v, !same_ignoring_case(stored, old_name));
        fit_columns(list_);
      }
    }
  }
  list_->setFocus();
}

void CUsersPage::on_delete() {
  QTreeWidgetItem* row = list_->selectedItems().value(0);
  if (!row) return;
  const std::string name = row->data(kName, kFileRole).toByteArray().toStdString();
  if (tvl::delete_member(owner_.program_folder(), name)) delete row;
  fit_columns(list_);
}
