// Message boxes of the window program. install_window_message_sink() routes
// tvl::message_box (platform/message_box.h) to a QMessageBox with an OK
// button only, shown on the user-interface thread. A call from another
// thread is posted to that thread and returns at once: the caller may hold
// the chat lock, which the user-interface thread itself takes when it
// reloads the rooms, so it must never wait for the box.
// Thread safety: install on the user-interface thread before the server
// starts; the sink may then be called from any thread.
#pragma once
#include <QString>

#include "platform/message_box.h"

namespace tvl {

void install_window_message_sink();

// Shows one box now, on the calling (user-interface) thread, through the
// dialog seam: the caption, the text and the icon, and only an OK button.
void show_message_box(const QString& caption, const QString& text, tvl::MessageIcon icon);

}  // namespace tvl
