#include "admin/term_signal.h"

#include <QSocketNotifier>

#include "platform/signal_pipe.h"

namespace tvl {

void watch_term_signals(QObject* context, std::function<void()> action) {
  int fd = tvl::open_term_signal_pipe();
  if (fd < 0) return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [fd, action] {
    tvl::drain_signal_pipe(fd);
    action();
  });
}

}  // namespace tvl
