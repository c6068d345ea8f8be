#include "admin/link_label.h"

#include <QApplication>
#include <QMouseEvent>

#include "admin/links.h"
#include "platform/message_box.h"

namespace tvl {

const QColor CLinkLabel::kNormal(18, 26, 159);
const QColor CLinkLabel::kVisited(85, 26, 139);

CLinkLabel::CLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  setCursor(Qt::PointingHandCursor);
  setAutoFillBackground(false);
  refresh();
}

void CLinkLabel::set_target(const QString& target) {
  target_ = target;
  if (text().isEmpty()) setText(target_);
  refresh();
}

QString CLinkLabel::target() const { return target_.isEmpty() ? text() : target_; }

QColor CLinkLabel::text_colour() const {
  if (hover_) return palette().color(QPalette::Active, QPalette::Highlight);
  return visited_ ? kVisited : kNormal;
}

void CLinkLabel::refresh() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, text_colour());
  setPalette(p);
  setToolTip(target());
  update();
}

void CLinkLabel::enterEvent(QEnterEvent* event) {
  hover_ = true;
  refresh();
  QLabel::enterEvent(event);
}

void CLinkLabel::leaveEvent(QEvent* event) {
  hover_ = false;
  refresh();
  QLabel::leaveEvent(event);
}

void CLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) activate();
  QLabel::mouseReleaseEvent(event);
}

void CLinkLabel::activate() {
  int result = open_window_link(target().toStdString(), tvl::kShowNormal);
  if (result > 32) {
    visited_ = true;
    refresh();
    return;
  }
  QApplication::beep();
  tvl::message_box("Tavella", ("Unable to open hyperlink:\n\n" + reason_text(result)).toStdString(),
                   tvl::MessageIcon::Warning);
}

QString CLinkLabel::reason_text(int result) {
  switch (result) {
    case 0: return "The operating system is out\nof memory or resources.";
    case 2: return "The specified file was not found.";
    case 3: return "The specified path was not found.";
    case 5: return "The operating system denied\naccess to the specified file.";
    case 8: return "There was not enough memory to complete the operation.";
    // Adapted for Linux: the program started for a link is not a Windows .EXE.
    case 11: return "The program file is invalid\n(not an executable program or error in its image).";
    case 26: return "A sharing violation occurred. ";
    case 27: return "The filename association is\nincomplete or invalid.";
    case 28: return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29: return "The DDE transaction failed.";
    case 30:
      return "The DDE transaction could not\nbe completed because other DDE transactions\nwere being "
             "processed.";
    case 31: return "There is no application associated\nwith the given filename extension.";
    case 32: return "The specified dynamic-link library was not found.";
    default: return QString::asprintf("Unknown Error (%d) occurred.", result);
  }
}

}  // namespace tvl
