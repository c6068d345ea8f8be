#include "admin/ip_address_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

namespace tvl {

CIpAddressDlg::CIpAddressDlg(const QString& address, const QString& title, QWidget* parent)
    : QDialog(parent), address_(address) {
  setWindowTitle(title.isEmpty() ? QString("Add IP address") : title);
  auto* column = new QVBoxLayout(this);
  column->addWidget(new QLabel("Enter an IP address:"));
  auto* row = new QHBoxLayout;
  const QStringList pieces = address.split('.');
  for (int i = 0; i < 4; ++i) {
    auto* box = new QLineEdit;
    box->setMaxLength(3);
    box->setAlignment(Qt::AlignRight);
    box->setFixedWidth(36);
    // A validator refuses what the keys would also refuse, and pasted text.
    const char* allowed = i < 2 ? "[0-9]{0,3}" : "[0-9.*]{0,3}";
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(allowed), box));
    if (i < pieces.size()) box->setText(pieces[i].left(3));
    parts_[i] = box;
    row->addWidget(box);
    if (i < 3) row->addWidget(new QLabel("."));
  }
  column->addLayout(row);
  auto* buttons = new QDialogButtonBox;
  buttons->addButton("&OK", QDialogButtonBox::AcceptRole);
  buttons->addButton("&Cancel", QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &CIpAddressDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CIpAddressDlg::reject);
  column->addWidget(buttons);
}

void CIpAddressDlg::accept() {
  address_ = QString("%1.%2.%3.%4")
                 .arg(parts_[0]->text(), parts_[1]->text(), parts_[2]->text(), parts_[3]->text());
  QDialog::accept();
}

}  // namespace tvl
