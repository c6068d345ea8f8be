// CUserDlg: the user dialog ("Add user" / "Edit user"): name, password,
// gender, picture, e-mail, profile and the disabled flag. The caller passes
// the row's values (gender as the list shows it: "Female", "Male", ...);
// after Accepted, values() holds what was entered, the gender as its number
// ("0", "1", "2"; "2" when none is chosen) and the picture of the previous
// values when none is chosen. The dialog checks nothing.
// Lifetime: one modal run, on the user-interface thread.
#pragma once
#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace tvl {

struct UserDlgValues {
  std::string name, password;
  std::string gender;  // in: the list's text; out: the number
  std::string icon, email, profile;
  bool disabled = false;
};

class CUserDlg : public QDialog {
  Q_OBJECT

 public:
  // values.name empty: adding (title "Add user", no gender or picture
  // chosen); otherwise editing.
  CUserDlg(const std::string& program_folder, const UserDlgValues& values,
           QWidget* parent = nullptr);

  const UserDlgValues& values() const { return values_; }

  QLineEdit* name_edit() const { return name_; }
  QLineEdit* password_edit() const { return password_; }
  QComboBox* gender_list() const { return gender_; }
  QComboBox* icon_list() const { return icon_; }
  QLineEdit* email_edit() const { return email_; }
  QLineEdit* profile_edit() const { return profile_; }
  QCheckBox* disabled_box() const { return disabled_; }

  // What "..." calls with the folder images/ of the program folder; the
  // program's default is open_link. Tests replace it (empty restores).
  static void set_folder_opener(std::function<int(const std::string&)> opener);

 public slots:
  void on_browse_images();  // "..."
  void accept() override;

 private:
  std::string program_folder_;
  UserDlgValues values_;
  QLineEdit* name_ = nullptr;
  QLineEdit* password_ = nullptr;
  QComboBox* gender_ = nullptr;
  QComboBox* icon_ = nullptr;
  QLineEdit* email_ = nullptr;
  QLineEdit* profile_ = nullptr;
  QCheckBox* disabled_ = nullptr;
};

}  // namespace tvl
