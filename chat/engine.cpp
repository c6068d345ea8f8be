#include "chat/engine.h"

#include "platform/net.h"
#include "platform/tls.h"

namespace tvl {

ChatEngine::ChatEngine()
    : pages_(ChatContext{site_, state_,
                         [this](const std::string& address, const std::string& time,
                                const std::string& text) { log_chat_event(address, time, text); }}),
      server_(site_, &pages_, log_) {}

ChatEngine::~ChatEngine() {
  stop();
  // Client threads of an abandoned stop still use the pages and the log.
  server_.StopAndWaitClients();
}

void ChatEngine::load(const std::string& program_folder) {
  if (!program_folder.empty()) site_.program_folder = program_folder;
  load_settings(site_, [this] { site_.room_problem = load_rooms(site_.program_folder, state_); });
  state_.set_max_online(site_.settings.max_online, pages_.context().places != nullptr);
}

int ChatEngine::start(int port) {
  const ServerSettings& s = site_.settings;
  server_.set_listen_address(s.listen_address);
  state_.allow_waits();
  prepare_tls();
  log_.set_program_folder(site_.program_folder);
  const int started = server_.Start(s.web_pages, s.default_page, port < 0 ? s.port : port, 0);
  if (started == 1 && tls_problem_.empty() && s.tls_port != 0 && !server_.tls_listening())
    tls_problem_ = "HTTPS is off: port " + std::to_string(s.tls_port) + " cannot be bound";
  return started;
}

// Loads the certificate and key the settings name (relative names from the
// program folder) for the next start; without them HTTPS stays off.
void ChatEngine::prepare_tls() {
  const ServerSettings& s = site_.settings;
  tls_problem_.clear();
  server_.set_tls(0, nullptr);
  server_.set_tls_redirect(0);
  if (s.tls_port == 0 && s.tls_certificate.empty() && s.tls_key.empty()) return;
  if (s.tls_port < 1 || s.tls_port > 65535 || s.tls_certificate.empty() || s.tls_key.empty()) {
    tls_problem_ =
        "HTTPS is off: TlsPort (1 to 65535), TlsCertificate and TlsKey must all be set";
    return;
  }
  auto context = std::make_shared<TlsContext>();
  Reason why;
  if (!context->load_server(s.tls_certificate, s.tls_key, why)) {
    tls_problem_ = "HTTPS is off: " + why.text;
    return;
  }
  server_.set_tls(s.tls_port, std::move(context));
  server_.set_tls_redirect(s.tls_redirect ? s.tls_port : 0);
}

int ChatEngine::stop() {
  if (!server_.running()) return 0;
  // Waiting message streams answer now, so their threads see the stop at once.
  state_.stop_waits();
  return server_.Shutdown();
}

std::string ChatEngine::listen_problem(int port) const {
  if (port < 1 || port > 65535) return "the port must be a number from 1 to 65535";
  int error = 0;
  const int probe = net::create_listen_socket(site_.settings.listen_address, error);
  if (probe < 0) return net::error_text(error);
  const bool ok = net::bind_address(probe, site_.settings.listen_address, port, error) &&
                  net::start_listening(probe, 1, error);
  net::close_socket(probe);
  return ok ? std::string() : net::error_text(error);
}

void ChatEngine::log_chat_event(const std::string& address, const std::string& time,
                                const std::string& text) {
  // The window's row comes first, then the day's file.
  if (log_row_sink_) log_row_sink_(address, time, text);
  log_.log_chat_event(site_, address, time, text);
  if (shared_log_sink_ && site_.settings.save_log) shared_log_sink_(address, time, text);
}

}  // namespace tvl
