// CAboutDlg: "About Tavella Server": the program icon, its name and
// version, the project's web site and support address as links, and OK.
// Thread safety: user-interface thread only.
#pragma once
#include <QDialog>

namespace tvl {

class CLinkLabel;

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  static const char kWebsite[];  // the project's web site
  static const char kEmail[];    // the support address

  explicit CAboutDlg(QWidget* parent = nullptr);

  CLinkLabel* website_link() const { return website_; }
  CLinkLabel* email_link() const { return email_; }

 private:
  CLinkLabel* website_ = nullptr;
  CLinkLabel* email_ = nullptr;
};

}  // namespace tvl
