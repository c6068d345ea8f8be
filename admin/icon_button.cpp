#include "admin/icon_button.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

namespace {
constexpr int kIconSize = 16;

// A one-pixel frame: top and left in `top_left`, bottom and right in
// `bottom_right`.
void frame(QPainter& p, const QRect& r, const QColor& top_left, const QColor& bottom_right) {
  p.setPen(top_left);
  p.drawLine(r.left(), r.top(), r.right() - 1, r.top());
  p.drawLine(r.left(), r.top(), r.left(), r.bottom() - 1);
  p.setPen(bottom_right);
  p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  p.drawLine(r.right(), r.top(), r.right(), r.bottom());
}
}  // namespace

CIconButton::CIconButton(QWidget* parent) : QAbstractButton(parent) {
  setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
  setIconSize(QSize(kIconSize, kIconSize));
}

void CIconButton::set_icon(const QIcon& hover_icon, const QIcon& normal_icon) {
  hover_icon_ = hover_icon;
  icon_ = normal_icon.isNull() ? hover_icon : normal_icon;
  update();
}

void CIconButton::set_tooltip(const QString& text) {
  if (text.isEmpty()) return;
  setToolTip(text);
}

QSize CIconButton::sizeHint() const {
  QSize s = iconSize() + QSize(6, 6);
  if (!text().isEmpty()) s.rwidth() += fontMetrics().horizontalAdvance(text()) + 4;
  return s;
}

void CIconButton::set_hover(bool on) {
  if (hover_ == on) return;
  hover_ = on;
  update();
}

// The frame lights up only for the program the user works with, and a drag
// that started elsewhere does not light it up on the way.
void CIconButton::track_hover(bool inside) {
  if (!inside) {
    set_hover(false);
    return;
  }
  if ((QApplication::mouseButtons() & Qt::LeftButton) && !hover_) return;
  if (!hover_ && QApplication::activeWindow() && parentWidget()) set_hover(true);
}

void CIconButton::mouseMoveEvent(QMouseEvent* event) {
  track_hover(rect().contains(event->position().toPoint()));
  QAbstractButton::mouseMoveEvent(event);
}

void CIconButton::enterEvent(QEnterEvent* event) {
  track_hover(true);
  QAbstractButton::enterEvent(event);
}

void CIconButton::leaveEvent(QEvent* event) {
  track_hover(false);
  QAbstractButton::leaveEvent(event);
}

void CIconButton::focusOutEvent(QFocusEvent* event) {
  set_hover(false);
  QAbstractButton::focusOutEvent(event);
}

void CIconButton::changeEvent(QEvent* event) {
  // A disabled button never stays lit.
  if (event->type() == QEvent::EnabledChange && !isEnabled()) set_hover(false);
  if (event->type() == QEvent::ActivationChange) update();
  QAbstractButton::changeEvent(event);
}

void CIconButton::paintEvent(QPaintEvent*) {
  const qreal ratio = devicePixelRatioF();
  QPixmap buffer(size() * ratio);
  buffer.setDevicePixelRatio(ratio);
  {
    QPainter p(&buffer);
    draw(p);
  }
  QPainter screen(this);
  screen.drawPixmap(0, 0, buffer);
}

void CIconButton::draw(QPainter& p) {
  const QPalette& pal = palette();
  const QRect r = rect();
  const bool pressed = isDown();
  // Lit only while the program is the one the user works with.
  const bool lit = hover_ && isEnabled() && QApplication::activeWindow();

  p.fillRect(r, pal.color(QPalette::Button));
  // Sunken while pressed, raised while lit, no frame otherwise.
  if (pressed) frame(p, r, pal.color(QPalette::Dark), pal.color(QPalette::Light));
  else if (lit) frame(p, r, pal.color(QPalette::Light), pal.color(QPalette::Dark));

  const QIcon& icon = (lit || pressed) ? hover_icon_ : icon_;
  const int shift = pressed ? 1 : 0;
  const QSize is = iconSize();
  const bool has_text = !text().isEmpty();
  int x = has_text ? r.left() + 3 : r.left() + (r.width() - is.width()) / 2;
  int y = r.top() + (r.height() - is.height()) / 2;
  if (!icon.isNull()) {
    QPixmap pm = icon.pixmap(is, devicePixelRatioF(), isEnabled() ? QIcon::Normal : QIcon::Disabled);
    p.drawPixmap(x + shift, y + shift, pm);
  }
  if (has_text) {
    QRect tr(x + is.width() + 2 + shift, r.top() + shift, r.right() - x - is.width() - 2, r.height());
    p.setPen(pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    p.drawText(tr, Qt::AlignCenter, text());
  }
}
