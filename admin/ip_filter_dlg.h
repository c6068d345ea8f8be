// CIpFilterDlg: "IP Filter", the filter mode and the two address lists.
//
//   radio button                                             mode  list shown
//   "Do not use IP Filter"                                     0   none
//   "Do not accept connections from specified IP addresses."   1   reject list
//   "Only accept connections from specified IP addresses."     2   accept list
//
// The dialog edits copies of both list texts: switching the mode shows the
// other list and keeps both, so switching back shows the earlier list. Each
// change (Add, Edit, Delete) rebuilds the shown mode's text as the entries
// joined by ",". Add refuses, silently, an address the list already holds as
// a whole entry (the IP filter's entry rule); Edit does not check. OK only
// reads the mode: the caller takes the texts and the mode and writes them.
// Modal, on the user-interface thread; run through run_dialog.
#pragma once
#include <QDialog>
#include <QString>
#include <string>

class QListWidget;
class QPushButton;
class QRadioButton;

namespace tvl {

class CIpFilterDlg : public QDialog {
  Q_OBJECT

 public:
  CIpFilterDlg(const std::string& reject_list, const std::string& accept_list,
               const std::string& program_folder, int mode, QWidget* parent = nullptr);

  const std::string& reject_list() const { return reject_; }
  const std::string& accept_list() const { return accept_; }
  int mode() const { return mode_; }

  QListWidget* list() const { return list_; }
  QRadioButton* mode_button(int mode) const { return modes_[mode]; }
  QPushButton* add_button() const { return add_; }
  QPushButton* edit_button() const { return edit_; }
  QPushButton* delete_button() const { return delete_; }

  void accept() override;

 public slots:
  void on_add();
  void on_edit();
  void on_delete();

 private:
  void read_mode();
  void show_mode();
  void rebuild_list_text();

  std::string reject_, accept_, folder_;
  int mode_ = 0;
  QListWidget* list_ = nullptr;
  QRadioButton* modes_[3] = {};
  QPushButton* add_ = nullptr;
  QPushButton* edit_ = nullptr;
  QPushButton* delete_ = nullptr;
};

}  // namespace tvl
