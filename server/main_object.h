// The process-wide main object: the window object of the desktop program, the
// engine object of the service. The request handler and the chat pages reach
// it through one pointer; while the pointer is empty every connection is
// closed without an answer.
// Thread safety: set_main_object is called by the owning thread before the
// server starts and after it stops; main_object() from any thread.
#pragma once
#include <string>

#include "storage/settings.h"

namespace tvl {

class ChatState;
class PageHandlers;

class MainObject {
 public:
  virtual ~MainObject() = default;

  // Settings, program folder, templates and IP lists.
  virtual SiteData& site() = 0;
  // The live chat; null in a program that has no chat yet.
  virtual ChatState* chat_state() = 0;
  // Page handlers of the chat; null makes every page decline (404).
  virtual PageHandlers* page_handlers() = 0;
  // One chat event to the day's log (and, in the window program, to its
  // log list). Called with the chat lock held.
  virtual void log_chat_event(const std::string& address, const std::string& time,
                              const std::string& text) = 0;
};

MainObject* main_object();
void set_main_object(MainObject* object);

}  // namespace tvl
