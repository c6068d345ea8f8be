// CUserPickerDlg: "Users list", the administrators picker of the room
// dialog: every account with a password (name and e-mail); several rows may
// be chosen. After Accepted, result() is the chosen names in list order
// joined with ",". The accounts come from the folder's files, or from a
// store given (the cluster's); a store that cannot be asked is told in a
// message and lists nobody.
// Lifetime: one modal run, on the user-interface thread.
#pragma once
#include <QDialog>
#include <string>

class QTreeWidget;

namespace tvl {

class AccountStore;

class CUserPickerDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CUserPickerDlg(const std::string& program_folder, QWidget* parent = nullptr);
  explicit CUserPickerDlg(tvl::AccountStore& accounts, QWidget* parent = nullptr);

  const std::string& result() const { return result_; }
  QTreeWidget* list() const { return list_; }

 public slots:
  void accept() override;

 private:
  void build(tvl::AccountStore& accounts);
  QTreeWidget* list_ = nullptr;
  std::string result_;
};

}  // namespace tvl
