#include "chat/engine.h"

#include "platform/net.h"

namespace tvl {

ChatEngine::ChatEngine()
    : pages_(ChatContext{site_, state_,
                         [this](const std::string& address, const std::string& time,
                                const std::string& text) { log_chat_event(address, time, text); }}) {}

ChatEngine::~ChatEngine() {
  stop();
  if (main_object() == this) set_main_object(nullptr);
}

void ChatEngine::make_main() { set_main_object(this); }

void ChatEngine::load(const std::string& program_folder) {
  if (!program_folder.empty()) site_.program_folder = program_folder;
  load_settings(site_, [this] { load_rooms(site_.program_folder, state_); });
}

int ChatEngine::start(int port) {
  const ServerSettings& s = site_.settings;
  server_.set_listen_address(s.listen_address);
  state_.allow_waits();
  return server_.Start(s.web_pages, s.default_page, port < 0 ? s.port : port, 0);
}

int ChatEngine::stop() {
  if (!server_.running()) return 0;
  // Waiting message streams answer now, so their threads see the stop at once.
  state_.stop_waits();
  return server_.Shutdown();
}

bool ChatEngine::port_available(int port) {
  if ((port & 0xffff) == 0) return false;
  int error = 0;
  int probe = net::create_listen_socket(error);
  if (probe < 0) return false;
  bool ok = net::bind_any(probe, port, error) && net::start_listening(probe, 1, error);
  net::close_socket(probe);
  return ok;
}

void ChatEngine::log_chat_event(const std::string& address, const std::string& time,
                                const std::string& text) {
  // The window's row comes first, then the day's file.
  if (log_row_sink_) log_row_sink_(address, time, text);
  server_.chat_log().log_chat_event(site_, address, time, text);
}

}  // namespace tvl
