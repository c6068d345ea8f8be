#include "admin/message_sink.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "admin/dialog_seam.h"

namespace tvl {

void show_message_box(const QString& caption, const QString& text, tvl::MessageIcon icon) {
  QMessageBox::Icon shown = QMessageBox::NoIcon;
  switch (icon) {
    case tvl::MessageIcon::Information: shown = QMessageBox::Information; break;
    case tvl::MessageIcon::Warning: shown = QMessageBox::Warning; break;
    case tvl::MessageIcon::Error: shown = QMessageBox::Critical; break;
    case tvl::MessageIcon::None: break;
  }
  QMessageBox box(shown, caption, text, QMessageBox::Ok);
  run_dialog(box);
}

void install_window_message_sink() {
  tvl::set_message_sink([](const std::string& caption, const std::string& text,
                           tvl::MessageIcon icon) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QString c = QString::fromStdString(caption), t = QString::fromStdString(text);
    if (QThread::currentThread() == app->thread()) {
      show_message_box(c, t, icon);
      return;
    }
    // Posted, never waited for (see the header).
    QMetaObject::invokeMethod(app, [c, t, icon] { show_message_box(c, t, icon); },
                              Qt::QueuedConnection);
  });
}

}  // namespace tvl
