// CUserPickerDlg: "Users list", the administrators picker of the room
// dialog: every account with a password (name and e-mail); several rows may
// be chosen. After Accepted, result() is the chosen names in list order
// joined with ",".
// Lifetime: one modal run, on the user-interface thread.
#pragma once
#include <QDialog>
#include <string>

class QTreeWidget;

namespace tvl {

class CUserPickerDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CUserPickerDlg(const std::string& program_folder, QWidget* parent = nullptr);

  const std::string& result() const { return result_; }
  QTreeWidget* list() const { return list_; }

 public slots:
  void accept() override;

 private:
  QTreeWidget* list_ = nullptr;
  std::string result_;
};

}  // namespace tvl
