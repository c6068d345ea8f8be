#include "admin/user_dlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/fs.h"
#include "platform/open_link.h"

namespace tvl {

namespace {

std::function<int(const std::string&)>& folder_opener() {
  static std::function<int(const std::string&)> opener;
  return opener;
}

}  // namespace

void CUserDlg::set_folder_opener(std::function<int(const std::string&)> opener) {
  folder_opener() = std::move(opener);
}

CUserDlg::CUserDlg(const std::string& program_folder, const UserDlgValues& values,
                   QWidget* parent)
    : QDialog(parent), program_folder_(program_folder), values_(values) {
  setWindowTitle("Add user");
  name_ = new QLineEdit(QString::fromStdString(values.name));
  password_ = new QLineEdit(QString::fromStdString(values.password));  // shown in clear
  gender_ = new QComboBox;
  icon_ = new QComboBox;
  auto* browse = new QPushButton("...");
  browse->setFixedWidth(24);
  browse->setAutoDefault(false);
  email_ = new QLineEdit(QString::fromStdString(values.email));
  profile_ = new QLineEdit(QString::fromStdString(values.profile));
  profile_->setMinimumHeight(42);
  disabled_ = new QCheckBox("Disable the account");
  disabled_->setChecked(values.disabled);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

  auto* icon_row = new QHBoxLayout;
  icon_row->addWidget(icon_, 1);
  icon_row->addWidget(browse);
  auto* form = new QFormLayout;
  form->addRow("Name:", name_);
  form->addRow("Password:", password_);
  form->addRow("Gender:", gender_);
  form->addRow("Icon:", icon_row);
  form->addRow("Email:", email_);
  form->addRow("Profile:", profile_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(disabled_);
  layout->addStretch(1);
  layout->addWidget(buttons);
  resize(246, 300);
  connect(browse, &QPushButton::clicked, this, &CUserDlg::on_browse_images);
  connect(buttons, &QDialogButtonBox::accepted, this, &CUserDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CUserDlg::reject);

  // The pictures, sorted as a sorted drop-down list keeps them (case-blind).
  QStringList pictures;
  for (const std::string& f : tvl::find_files(program_folder + "images/*.gif"))
    pictures << QString::fromStdString(f);
  std::sort(pictures.begin(), pictures.end(), [](const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
  });
  icon_->addItems(pictures);
  icon_->setCurrentIndex(-1);
  // The entry index is the stored gender number; "Famale" is the form's own text.
  gender_->addItems({"Famale", "Male", "Confidential"});
  gender_->setCurrentIndex(-1);

  if (!values.name.empty()) {
    setWindowTitle("Edit user");
    const QString gender = QString::fromStdString(values.gender);
    gender_->setCurrentIndex(gender == "Male" ? 1 : gender == "Female" ? 0 : 2);
    // The first picture that begins with the row's text. A row without a
    // picture chooses none (every name begins with the empty text; choosing
    // the first would give the member a picture nobody picked).
    const QString icon = QString::fromStdString(values.icon);
    if (!icon.isEmpty()) {
      for (int i = 0; i < icon_->count(); ++i) {
        if (icon_->itemText(i).startsWith(icon, Qt::CaseInsensitive)) {
          icon_->setCurrentIndex(i);
          break;
        }
      }
    }
  }
}

void CUserDlg::on_browse_images() {
  const std::string folder = program_folder_ + "images";
  if (folder_opener()) {
    folder_opener()(folder);
    return;
  }
  tvl::open_link(folder, tvl::kShowNormal);  // failures are not reported
}

void CUserDlg::accept() {
  values_.name = name_->text().toStdString();
  values_.password = password_->text().toStdString();
  values_.gender = gender_->currentIndex() >= 0 ? std::to_string(gender_->currentIndex()) : "2";
  if (icon_->currentIndex() >= 0) values_.icon = icon_->currentText().toStdString();
  values_.email = email_->text().toStdString();
  values_.profile = profile_->text().toStdString();
  values_.disabled = disabled_->isChecked();
  QDialog::accept();
}

}  // namespace tvl
