// CIconButton: the flat toolbar button. It shows its icon (and its text, if
// any, right of the icon), lights up with a raised frame while the mouse is
// over it and the program has an active window, is drawn sunken and shifted
// by one pixel while pressed, and draws its icon greyed when disabled. Every
// paint is composed in an off-screen pixmap and copied at once, so the button
// never flickers.
// Thread safety: user-interface thread only.
#pragma once
#include <QAbstractButton>
#include <QIcon>

class CIconButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit CIconButton(QWidget* parent = nullptr);

  // The first icon is drawn while hovered or pressed, the second otherwise;
  // without a second one the first serves for both.
  void set_icon(const QIcon& hover_icon, const QIcon& normal_icon = QIcon());
  // An empty text changes nothing.
  void set_tooltip(const QString& text);

  bool hovered() const { return hover_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void track_hover(bool inside);
  void set_hover(bool on);
  void draw(QPainter& p);

  QIcon icon_, hover_icon_;
  bool hover_ = false;
};
