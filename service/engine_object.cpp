#include "service/engine_object.h"

#include <cstdio>
#include <ctime>

#include "platform/net.h"
#include "server/connection_limits.h"

namespace tvl {

EngineObject::EngineObject() = default;

EngineObject::~EngineObject() { stop_chat_server(); }

void EngineObject::load(const std::string& program_folder) { engine_.load(program_folder); }

bool EngineObject::start_chat_server() {
  if (running_) return true;
  if (!window_.create("Tavella Server Notification Sink")) return false;
  const int port = engine_.site().settings.port;
  if (engine_.start(port) == 1) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::printf("%s Chat Server started on port %d\n", stamp, port);
    std::fflush(stdout);
    running_ = true;
  } else {
    window_.destroy();
  }
  return running_;
}

bool EngineObject::reload() {
  stop_chat_server();
  // Client threads read the settings without a lock: they are given a
  // moment to finish before the settings are replaced.
  (void)engine_.server().wait_clients(kStopClientsMs);  // not reported, by design
  load();
  return start_chat_server();
}

std::string EngineObject::listen_problem() const {
  const ServerSettings& s = const_cast<ChatEngine&>(engine_).site().settings;
  if (s.port < 1 || s.port > 65535) return "the port must be a number from 1 to 65535";
  int error = 0;
  int probe = net::create_listen_socket(error);
  if (probe < 0) return net::error_text(error);
  bool ok = net::bind_address(probe, s.listen_address, s.port, error) &&
            net::start_listening(probe, 1, error);
  net::close_socket(probe);
  return ok ? std::string() : net::error_text(error);
}

void EngineObject::stop_chat_server() {
  if (running_ && engine_.stop() == 1) {
    std::printf("chat server stopped\n");
    std::fflush(stdout);
    running_ = false;
  }
  if (window_.exists()) window_.destroy();
}

}  // namespace tvl
