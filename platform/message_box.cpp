#include "platform/message_box.h"

#include <cstdio>

#include "platform/lock_annotations.h"

namespace tvl {

namespace {
Mutex g_sink_lock;
MessageSink g_sink GUARDED_BY(g_sink_lock);
}  // namespace

void set_message_sink(MessageSink sink) {
  MutexLock hold(g_sink_lock);
  g_sink = std::move(sink);
}

void message_box(const std::string& caption, const std::string& text, MessageIcon icon) {
  MessageSink sink;
  {
    MutexLock hold(g_sink_lock);
    sink = g_sink;
  }
  if (sink) {
    sink(caption, text, icon);
    return;
  }
  // A console program has no desktop: one line, where a script looks for
  // it (a success is not an error).
  std::FILE* out = icon == MessageIcon::Information ? stdout : stderr;
  std::fprintf(out, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(out);
}

}  // namespace tvl
