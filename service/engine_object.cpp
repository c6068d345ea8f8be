#include "service/engine_object.h"

#include <cstdio>
#include <ctime>

namespace tvl {

EngineObject::EngineObject() = default;

EngineObject::~EngineObject() { stop_chat_server(); }

void EngineObject::load(const std::string& program_folder) {
  engine_.make_main();
  engine_.load(program_folder);
}

void EngineObject::start_chat_server() {
  if (running_) return;
  if (!window_.create("Tavella Server Notification Sink")) return;
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
