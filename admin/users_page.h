// CUsersPage: the "Users" tab: the member accounts, with Add, Edit and
// Delete, through the controller's AccountStore: the files under users/,
// or in a cluster the accounts in its Redis (a Redis that is away is told
// in a message; the rows stay and nothing changes). Changes go to the
// store at once; the chat reads an account at every login, so nothing
// else is reloaded.
//
// The list is read when the page is created and again each time it is
// shown, and Edit fills its dialog from the file, so accounts registered or
// changed through the web meanwhile are never overwritten with stale
// values. Accounts without a password are not listed; the "Password" column
// only tells that one is set (the file holds its hash), and the dialog's
// password starts empty (empty keeps it). Names are one account as the
// storage layer compares them (same_account_name), and a new name (adding,
// or renaming) must pass the rule the chat pages apply to user names before
// any file is touched. The rows are a CListModel, sorted by the storage
// layer's fold of the name (ties by the file name's bytes).
//
// Lifetime: created once by the main window, lives as long as it.
// Thread safety: user-interface thread only.
#pragma once
#include <QWidget>
#include <string>

#include "admin/list_model.h"
class QTreeView;

namespace tvl {

class ServerController;
struct UserDlgValues;

class CUsersPage : public QWidget {
  Q_OBJECT

 public:
  enum Column { kName, kPassword, kGender, kIcon, kEmail, kProfile, kDisabled };
  // Column kName's data: the account's file name as bytes. The edit and
  // delete commands use it rather than the shown text, which cannot hold
  // every byte string (a file made by hand need not be UTF-8).
  static constexpr int kFileRole = CListModel::kStoredRole;

  CUsersPage(tvl::ServerController& owner, QWidget* parent);

  QTreeView* list() const { return list_; }
  CListModel* model() const { return model_; }

  // Reads the accounts again (keeping the selected one selected).
  void fill();

  // "Female", "Male", "Confidential" for "0", "1", "2"; empty otherwise.
  static QString gender_text(const std::string& number);

 public slots:
  void on_add();     // "Add..."
  void on_edit();    // "Edit..."
  void on_delete();  // "Delete"

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // `row` with columns "Password" to "Disabled" (and "Name" when
  // with_name) from the dialog's values.
  static CListModel::Row shown(CListModel::Row row, const UserDlgValues& values, bool with_name);

  tvl::ServerController& owner_;
  CListModel* model_ = nullptr;
  QTreeView* list_ = nullptr;
};

}  // namespace tvl
