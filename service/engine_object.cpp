#include "service/engine_object.h"

#include <cstdio>
#include <ctime>

#include "server/connection_limits.h"

namespace tvl {

EngineObject::EngineObject() = default;

EngineObject::~EngineObject() { stop_chat_server(); }

void EngineObject::load(const std::string& program_folder) { engine_.load(program_folder); }

bool EngineObject::start_chat_server() {
  if (running_) return true;
  engine_.server().set_report_sink(reports_);
  const int port = engine_.site().settings.port;
  join_cluster();
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
    leave_cluster();
  }
  return running_;
}

void EngineObject::join_cluster() {
  ClusterNode::ReportSink report = cluster_reports_;
  if (!report)
    report = [](const std::string& text) {
      std::fprintf(stderr, "tvlService: %s\n", text.c_str());
      std::fflush(stderr);
    };
  cluster_.join(engine_, report);
}

void EngineObject::leave_cluster() { cluster_.leave(); }

bool EngineObject::reload() {
  stop_chat_server();
  // Client threads read the settings without a lock: they are given a
  // moment to finish before the settings are replaced.
  (void)engine_.server().wait_clients(kStopClientsMs);  // not reported, by design
  load();
  return start_chat_server();
}

void EngineObject::stop_chat_server() {
  if (running_ && engine_.stop() == 1) {
    leave_cluster();
    std::printf("chat server stopped\n");
    std::fflush(stdout);
    running_ = false;
  }
}

}  // namespace tvl
