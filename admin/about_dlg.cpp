#include "admin/about_dlg.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/link_label.h"

namespace tvl {

const char CAboutDlg::kWebsite[] = "https://tavella.example.org/";
const char CAboutDlg::kEmail[] = "support@tavella.example.org";

namespace {
QFrame* etched_line() {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}
}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About Tavella Server");
  setModal(true);

  auto* icon = new QLabel;
  icon->setPixmap(QIcon(":/icons/tavella.png").pixmap(32, 32));
  auto* name = new QLabel("Tavella Server Version 1.2");
  auto* head = new QHBoxLayout;
  head->addWidget(icon);
  head->addSpacing(8);
  head->addWidget(name, 1);

  website_ = new CLinkLabel(kWebsite);
  email_ = new CLinkLabel(kEmail);
  email_->set_target(QString("mailto:") + kEmail);
  auto* links = new QGridLayout;
  links->addWidget(new QLabel("Website:"), 0, 0);
  links->addWidget(website_, 0, 1);
  links->addWidget(new QLabel("Email:"), 1, 0);
  links->addWidget(email_, 1, 1);
  links->setColumnStretch(1, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* column = new QVBoxLayout(this);
  column->addLayout(head);
  column->addWidget(etched_line());
  column->addLayout(links);
  column->addWidget(etched_line());
  column->addWidget(buttons);
  setFixedSize(sizeHint().expandedTo(QSize(310, 150)));
}

}  // namespace tvl
