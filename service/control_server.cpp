#include "service/control_server.h"

#include "platform/fs.h"

namespace tvl {

std::string control_socket_path() { return state_folder() + "control.sock"; }

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(const std::string& path, Handler handler, std::string& reason) {
  stop();
  if (!stop_.valid()) {
    reason = "no stop event";
    return false;
  }
  stop_.reset();
  if (!listener_.open(path, reason)) return false;
  handler_ = std::move(handler);
  if (!thread_.start([this] { serve(); })) {
    listener_.close();
    reason = "the control thread could not be started";
    return false;
  }
  return true;
}

void ControlServer::stop() {
  if (!thread_.started()) return;
  stop_.set();
  (void)thread_.join_for(-1);  // not reported, by design: it ends after its request
  listener_.close();
}

void ControlServer::serve() {
  for (;;) {
    bool stopped = false;
    int peer = listener_.accept_peer(stop_.fd(), -1, stopped);
    if (stopped) return;
    if (peer < 0) continue;
    std::string data;
    CommandRequest request;
    CommandResult result{2, "", "tvlctl: the server did not understand the request\n"};
    if (receive_all(peer, data, kMaxRequestBytes, kReadTimeoutMs) && decode_request(data, request))
      result = handler_(request);
    (void)send_answer(peer, encode_result(result));  // a client gone is not reported
    close_control(peer);
  }
}

}  // namespace tvl
