// CLinkLabel: a text that opens its target when clicked. Colours: normal
// RGB(18, 26, 159), visited (after a successful open) RGB(85, 26, 139), the
// palette's highlight colour while the mouse is over it; underlined, a hand
// cursor, the target as tooltip, transparent background. A target that
// cannot be opened beeps and shows "Unable to open hyperlink:\n\n" and the
// reason for the opener's result.
// Thread safety: user-interface thread only.
#pragma once
#include <QColor>
#include <QLabel>

namespace tvl {

class CLinkLabel : public QLabel {
  Q_OBJECT

 public:
  static const QColor kNormal, kVisited;

  explicit CLinkLabel(const QString& text = QString(), QWidget* parent = nullptr);

  // An empty target makes the text the target; an empty text shows the
  // target.
  void set_target(const QString& target);
  QString target() const;
  bool visited() const { return visited_; }
  bool hovered() const { return hover_; }
  // The colour the text is drawn in now.
  QColor text_colour() const;

  // Opens the target (what a click does).
  void activate();

  // The reason shown for an opener result of 32 or less.
  static QString reason_text(int result);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void refresh();

  QString target_;
  bool visited_ = false;
  bool hover_ = false;
};

}  // namespace tvl
