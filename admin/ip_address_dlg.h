// CIpAddressDlg: "Add IP address", four boxes for the four parts of a dotted
// address. Each box takes at most three characters: the first two digits
// only, the last two digits, "." and "*" (typed or pasted; everything else
// is refused before the box shows it). OK joins the boxes as
// "%s.%s.%s.%s" without checking them, so empty parts give empty pieces.
// Modal, on the user-interface thread; run through run_dialog.
#pragma once
#include <QDialog>
#include <QString>

class QLineEdit;

namespace tvl {

class CIpAddressDlg : public QDialog {
  Q_OBJECT

 public:
  // `address` is split at "." into the boxes; a non-empty `title` replaces
  // the window title.
  explicit CIpAddressDlg(const QString& address, const QString& title = QString(),
                         QWidget* parent = nullptr);

  QString address() const { return address_; }
  QLineEdit* part(int i) const { return parts_[i]; }

  void accept() override;

 private:
  QLineEdit* parts_[4] = {};
  QString address_;
};

}  // namespace tvl
