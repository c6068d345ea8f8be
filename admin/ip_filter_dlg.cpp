#include "admin/ip_filter_dlg.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "admin/dialog_seam.h"
#include "admin/ip_address_dlg.h"
#include "admin/ip_entries.h"
#include "platform/message_box.h"

namespace tvl {

namespace {
const char kSelectText[] = "Please select a IP Address!";
}

CIpFilterDlg::CIpFilterDlg(const std::string& reject_list, const std::string& accept_list,
                           const std::string& program_folder, int mode, QWidget* parent)
    : QDialog(parent), reject_(reject_list), accept_(accept_list), folder_(program_folder),
      mode_(mode) {
  setWindowTitle("IP Filter");
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel("IP Filter:"), 0, 0);
  list_ = new QListWidget;
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setMinimumSize(218, 122);
  grid->addWidget(list_, 1, 0, 4, 1);
  add_ = new QPushButton("Add");
  edit_ = new QPushButton("Edit");
  delete_ = new QPushButton("Delete");
  grid->addWidget(add_, 1, 1);
  grid->addWidget(edit_, 2, 1);
  grid->addWidget(delete_, 3, 1);
  connect(add_, &QPushButton::clicked, this, &CIpFilterDlg::on_add);
  connect(edit_, &QPushButton::clicked, this, &CIpFilterDlg::on_edit);
  connect(delete_, &QPushButton::clicked, this, &CIpFilterDlg::on_delete);

  grid->addWidget(new QLabel("Filter mode:"), 5, 0, 1, 2);
  auto* group = new QButtonGroup(this);
  const char* texts[3] = {"Do not use IP Filter",
                          "Do not accept connections from specified IP addresses.",
                          "Only accept connections from specified IP addresses."};
  for (int m = 0; m < 3; ++m) {
    modes_[m] = new QRadioButton(texts[m]);
    group->addButton(modes_[m], m);
    grid->addWidget(modes_[m], 6 + m, 0, 1, 2);
  }
  // A stored mode other than 1 or 2 filters like 2 in the server; anything
  // outside 0..2 is shown as that.
  modes_[mode_ == 0 || mode_ == 1 ? mode_ : 2]->setChecked(true);
  connect(group, &QButtonGroup::idClicked, this, [this](int) { show_mode(); });

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &CIpFilterDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CIpFilterDlg::reject);
  grid->addWidget(buttons, 9, 0, 1, 2);
  show_mode();
}

void CIpFilterDlg::read_mode() {
  for (int m = 0; m < 3; ++m)
    if (modes_[m]->isChecked()) mode_ = m;
}

void CIpFilterDlg::show_mode() {
  read_mode();
  list_->clear();
  const bool on = mode_ != 0;
  add_->setEnabled(on);
  edit_->setEnabled(on);
  delete_->setEnabled(on);
  if (!on) return;
  const QString text = QString::fromStdString(mode_ == 1 ? reject_ : accept_);
  for (const QString& piece : text.split(',', Qt::SkipEmptyParts)) list_->addItem(piece);
}

void CIpFilterDlg::rebuild_list_text() {
  std::string text;
  for (int i = 0; i < list_->count(); ++i) {
    if (i) text += ',';
    text += list_->item(i)->text().toStdString();
  }
  (mode_ == 1 ? reject_ : accept_) = text;
}

void CIpFilterDlg::on_add() {
  CIpAddressDlg ask(QString(), QString(), this);
  if (run_dialog(ask) != QDialog::Accepted) return;
  const std::string shown = mode_ == 1 ? reject_ : accept_;
  if (list_holds_entry(shown, ask.address().toStdString())) return;
  list_->addItem(ask.address());
  rebuild_list_text();
}

void CIpFilterDlg::on_edit() {
  QListWidgetItem* item = list_->currentItem();
  if (!item || !item->isSelected()) {
    tvl::message_box("Tavella", kSelectText);
    return;
  }
  CIpAddressDlg ask(item->text(), QString(), this);
  if (run_dialog(ask) != QDialog::Accepted) return;
  item->setText(ask.address());
  list_->setCurrentItem(item);
  rebuild_list_text();
}

void CIpFilterDlg::on_delete() {
  QListWidgetItem* item = list_->currentItem();
  if (!item || !item->isSelected()) {
    tvl::message_box("Tavella", kSelectText);
    return;
  }
  delete item;
  if (list_->count()) list_->setCurrentRow(0);
  rebuild_list_text();
}

void CIpFilterDlg::accept() {
  read_mode();
  QDialog::accept();
}

}  // namespace tvl
