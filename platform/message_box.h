// Message boxes. A console program (the default sink) writes one line
// "caption: text": news of a success (MessageIcon::Information) to standard
// output, everything else to standard error; the window program installs its own sink
// that shows a real dialog. Thread safety: message_box may be called from any
// thread; set_message_sink is called once at start-up, before other threads.
#pragma once
#include <functional>
#include <string>

namespace tvl {

enum class MessageIcon { None, Information, Warning, Error };

using MessageSink =
    std::function<void(const std::string& caption, const std::string& text, MessageIcon icon)>;

// Replaces the sink; an empty function restores the console sink.
void set_message_sink(MessageSink sink);

void message_box(const std::string& caption, const std::string& text,
                 MessageIcon icon = MessageIcon::None);

}  // namespace tvl
