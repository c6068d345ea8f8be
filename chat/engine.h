// ChatEngine: the chat as one object: settings and loaded texts, the chat
// state, the page handlers and the web server. The service's engine object
// is one; tests use it to run the whole chat in-process. It is the process's
// main object while it exists and has been made so with make_main().
// Thread safety: load(), start() and stop() run on the owning thread; the
// rest is reached from client threads through the main-object interface.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"
#include "server/chat_web_server.h"
#include "server/main_object.h"

namespace tvl {

class ChatEngine : public MainObject {
 public:
  ChatEngine();
  ~ChatEngine() override;  // stops the server and clears the main pointer

  // Sets the process-wide main pointer to this engine.
  void make_main();

  // load_settings() with the room loading step. When program_folder is
  // given it replaces the executable's folder (tests).
  void load(const std::string& program_folder = std::string());

  // Start(web_pages, default_page, port, 0). port < 0: the setting's port.
  int start(int port = -1);
  int stop();  // Shutdown(); 0 when not running

  // Why the last start serves no HTTPS although TlsPort, TlsCertificate and
  // TlsKey ask for it (a file that cannot be loaded, a port that cannot be
  // bound); empty when it does, or when HTTPS is not asked for.
  const std::string& tls_problem() const { return tls_problem_; }

  // True when a listening socket could be bound to `port` right now (a
  // server whose stop had to abandon its accept thread may still hold it).
  // The probe socket is closed again at once.
  static bool port_available(int port);

  // A chat event's row for a window's log list. The sink runs first in
  // log_chat_event, on the calling client thread with the chat lock held, so
  // it must hand the row over without waiting for anybody (a queued call to
  // the user-interface thread). Set only while the server is stopped; an
  // empty function removes it.
  using LogRowSink = std::function<void(const std::string& address, const std::string& time,
                                        const std::string& text)>;
  void set_log_row_sink(LogRowSink sink) { log_row_sink_ = std::move(sink); }

  SiteData& site() override { return site_; }
  ChatState* chat_state() override { return &state_; }
  PageHandlers* page_handlers() override { return &pages_; }
  void log_chat_event(const std::string& address, const std::string& time,
                      const std::string& text) override;

  ChatState& state() { return state_; }
  ChatPages& pages() { return pages_; }
  ChatWebServer& server() { return server_; }

 private:
  SiteData site_;
  ChatState state_;
  ChatPages pages_;
  ChatWebServer server_;
  LogRowSink log_row_sink_;  // written only while the server is stopped
  std::string tls_problem_;
  void prepare_tls();
};

}  // namespace tvl
