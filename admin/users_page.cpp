#include "admin/users_page.h"

#include <QPushButton>
#include <QTreeView>
#include <cstdlib>

#include "admin/dialog_seam.h"
#include "admin/fit_columns.h"
#include "admin/list_page.h"
#include "admin/server_controller.h"
#include "admin/user_dlg.h"
#include "chat/operator_rules.h"
#include "platform/message_box.h"
#include "storage/account.h"
#include "storage/account_name.h"

namespace tvl {

namespace {

const char kCaption[] = "Tavella";
const char* const kBadName = tvl::kAccountNameMessage;

void say(const std::string& text) { tvl::message_box(kCaption, text); }

bool name_allowed(const std::string& name) { return tvl::member_name_allowed(name); }

// True when the account was written; otherwise says why not: a change the
// cluster's Redis failed is told as Redis away, not as a bad name.
bool written(tvl::ServerController& owner, tvl::AccountChange change) {
  if (change == tvl::AccountChange::Failed) {
    const std::string away = owner.cluster_problem();
    if (!away.empty()) {
      say(away);
      return false;
    }
  }
  if (const char* refusal = tvl::account_change_message(change)) say(refusal);
  return change == tvl::AccountChange::Written;
}

// Names compare as the storage layer compares them: one account under full
// case folding.
bool same_ignoring_case(const std::string& a, const std::string& b) {
  return tvl::same_account_name(a, b);
}

// Rows in the order of the storage layer's key for names (its fold), so
// the spellings of one account stand together; ties by the file's bytes.
bool listed_before(const CListModel::Row& a, const CListModel::Row& b) {
  const std::string x = a.stored.empty() ? std::string() : a.stored[0].toByteArray().toStdString();
  const std::string y = b.stored.empty() ? std::string() : b.stored[0].toByteArray().toStdString();
  const std::string fx = tvl::account_name_fold(x), fy = tvl::account_name_fold(y);
  return fx != fy ? fx < fy : x < y;
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

CUsersPage::CUsersPage(tvl::ServerController& owner, QWidget* parent) : QWidget(parent), owner_(owner) {
  model_ = new CListModel({"Name", "Password", "Gender", "Icon", "Email", "Profile", "Disabled"},
                          QIcon(":/icons/user.png"), this);
  model_->set_order(listed_before);
  const ListPage parts = build_list_page(this, model_);
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
  const int was = selected_row(list_);
  const QVariant current = was < 0 ? QVariant() : model_->stored(was, kName);
  std::vector<tvl::AccountListing> accounts;
  tvl::Reason why;
  if (!owner_.accounts().list_all(accounts, why)) {
    // The cluster's Redis is away: the rows shown stay as they were.
    say(tvl::ServerController::cluster_away_text(why.text));
    return;
  }
  std::vector<CListModel::Row> rows;
  for (const tvl::AccountListing& a : accounts) {
    CListModel::Row row;
    // "Sex" counts by its decimal value: "01" is still "Male".
    row.texts = {QString::fromStdString(a.name),
                 password_shown(a.password),
                 gender_text(std::to_string(std::atoi(a.sex.c_str()))),
                 QString::fromStdString(a.icon),
                 QString::fromStdString(a.email),
                 QString::fromStdString(a.profile),
                 QString::fromStdString(a.disabled)};
    row.stored = {QByteArray::fromStdString(a.name)};
    rows.push_back(std::move(row));
  }
  model_->set_rows(std::move(rows));
  if (current.isValid()) select_row(list_, model_->find_stored(kName, current));
  fit_columns(list_);
}

CListModel::Row CUsersPage::shown(CListModel::Row row, const UserDlgValues& v, bool with_name) {
  while (row.texts.size() <= kDisabled) row.texts << QString();
  if (with_name) {
    row.texts[kName] = QString::fromStdString(v.name);
    row.stored = {QByteArray::fromStdString(v.name)};
  }
  // An empty password in the dialog kept the stored one.
  if (!v.password.empty() || row.texts[kPassword].isEmpty())
    row.texts[kPassword] = password_shown(v.password);
  row.texts[kGender] = gender_text(v.gender);
  row.texts[kIcon] = QString::fromStdString(v.icon);
  row.texts[kEmail] = QString::fromStdString(v.email);
  row.texts[kProfile] = QString::fromStdString(v.profile);
  row.texts[kDisabled] = v.disabled ? "Yes" : "No";
  return row;
}

void CUsersPage::on_add() {
  CUserDlg dlg(owner_.program_folder(), UserDlgValues(), this);
  if (run_dialog(dlg) == QDialog::Accepted) {
    const UserDlgValues& v = dlg.values();
    if (!name_allowed(v.name)) {
      say(kBadName);
    } else {
      if (written(owner_, owner_.accounts().add_member(v.name, member_values(v)))) {
        select_row(list_, model_->append(shown(CListModel::Row(), v, true)));
        fit_columns(list_);
      }
    }
  }
  list_->setFocus();
}

void CUsersPage::on_edit() {
  const int row = selected_row(list_);
  if (row < 0) {
    say("Please select a user!");
    return;
  }
  // From the file, not from the row: the visitor may have changed the
  // account over the web since the list was read. The password starts
  // empty (empty keeps the stored one).
  const std::string old_name = model_->stored(row, kName).toByteArray().toStdString();
  const QString old_text = model_->text(row, kName);
  tvl::AccountListing stored_values;
  if (!owner_.accounts().read(old_name, stored_values)) {
    const std::string away = owner_.cluster_problem();
    if (!away.empty()) {
      say(away);
      return;
    }
    say("Please select a user!");
    fill();
    return;
  }
  UserDlgValues in;
  in.name = old_text.toStdString();
  in.gender = gender_text(std::to_string(std::atoi(stored_values.sex.c_str()))).toStdString();
  in.icon = stored_values.icon;
  in.email = stored_values.email;
  in.profile = stored_values.profile;
  in.disabled = stored_values.disabled != "No";
  CUserDlg dlg(owner_.program_folder(), in, this);
  if (run_dialog(dlg) == QDialog::Accepted) {
    UserDlgValues v = dlg.values();
    // The name left as shown is the file's own name, whatever its bytes.
    if (QString::fromStdString(v.name) == old_text) v.name = old_name;
    // Only a new name (not another spelling of this one) must pass the rule:
    // an account made by hand under an odd name can still be edited.
    if (!same_ignoring_case(v.name, old_name) && !name_allowed(v.name)) {
      say(kBadName);
    } else {
      std::string stored;
      if (written(owner_, owner_.accounts().edit_member(old_name, v.name, member_values(v),
                                                        stored))) {
        // The same file (maybe typed in another case) keeps its name and
        // the row its spelling; a rename shows the new name.
        model_->set_row(row, shown(model_->row(row), v, !same_ignoring_case(stored, old_name)));
        fit_columns(list_);
      }
    }
  }
  list_->setFocus();
}

void CUsersPage::on_delete() {
  const int row = selected_row(list_);
  if (row < 0) return;
  const std::string name = model_->stored(row, kName).toByteArray().toStdString();
  if (owner_.accounts().delete_member(name)) {
    model_->remove(row);
  } else {
    // A file deleted meanwhile stays as quiet as before; Redis away is told.
    const std::string away = owner_.cluster_problem();
    if (!away.empty()) say(away);
  }
  fit_columns(list_);
}

}  // namespace tvl
