// A connection server with hooks that tests script: a request is complete
// when it holds the marker (default "END"), the handler is a replaceable
// function, and every hook call is recorded. The handler fills the answer's
// text and says whether the connection stays (keep starts at 0 for every
// request); 0 closes without an answer. answer_handler, when set, gives
// the whole Answer instead (a shared body or a stream).
#pragma once
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "server/connection_server.h"

namespace tvl::test {

class ScriptedServer : public ConnectionServer {
 public:
  using Handler = std::function<int(const std::string& ip, const std::string& request,
                                    std::string& response, int& keep_alive)>;

  ScriptedServer() {
    // Default answer: "GOT:" and the request, connection closed after it.
    handler = [](const std::string&, const std::string& request, std::string& response, int&) {
      response = "GOT:" + request;
      return 1;
    };
  }
  ~ScriptedServer() override { StopAndWaitClients(); }

  // Run on a port the system chooses: the port, or 0 when Run failed.
  int run_on_any_port(unsigned idle_timeout_ms = 0) {
    set_any_port(true);
    return Run(0, idle_timeout_ms) == 1 ? port() : 0;
  }

  std::string marker = "END";
  // When set, a request ends right after its first marker and the bytes
  // after it are the next request (pipelining); otherwise the whole text.
  bool split_at_marker = false;
  Handler handler;  // set before Run
  std::function<Answer(const std::string& ip, const std::string& request)> answer_handler;
  // Whether each request came to the TLS port, in order.
  std::vector<bool> secure() const {
    std::lock_guard<std::mutex> hold(lock_);
    return secure_;
  }

  struct Connect {
    std::string ip;
    int port;
  };
  std::vector<Connect> connects() const {
    std::lock_guard<std::mutex> hold(lock_);
    return connects_;
  }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }
  std::vector<std::size_t> sent() const {
    std::lock_guard<std::mutex> hold(lock_);
    return sent_;
  }
  int completion_checks() const { return checks_.load(); }

  // Waits (bounded, to catch a hang) until `count` requests were handled.
  bool wait_requests(std::size_t count, int timeout_ms = 5000) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                             [&] { return requests_.size() >= count; });
  }

 protected:
  int OnConnect(const std::string& ip, int port) override {
    std::lock_guard<std::mutex> hold(lock_);
    connects_.push_back({ip, port});
    return 0;
  }
  int OnSent(std::size_t count) override {
    std::lock_guard<std::mutex> hold(lock_);
    sent_.push_back(count);
    return 0;
  }
  int IsRequestComplete(const std::string& request) override {
    ++checks_;
    return request.find(marker) != std::string::npos;
  }
  std::size_t RequestLength(const std::string& request) override {
    if (!split_at_marker) return ConnectionServer::RequestLength(request);
    ++checks_;
    const std::size_t at = request.find(marker);
    return at == std::string::npos ? 0 : at + marker.size();
  }
  Answer HandleRequest(const std::string& ip, std::string_view request_view,
                       bool secure) override {
    const std::string request(request_view);
    {
      std::lock_guard<std::mutex> hold(lock_);
      requests_.push_back(request);
      secure_.push_back(secure);
      changed_.notify_all();
    }
    if (answer_handler) return answer_handler(ip, request);
    Answer answer;
    int keep = 0;
    if (!handler(ip, request, answer.text, keep)) return Answer::none();
    answer.keep_alive = keep != 0;
    return answer;
  }

 private:
  mutable std::mutex lock_;  // guards the records below
  mutable std::condition_variable changed_;
  std::vector<Connect> connects_;
  std::vector<std::string> requests_;
  std::vector<bool> secure_;
  std::vector<std::size_t> sent_;
  std::atomic<int> checks_{0};
};

}  // namespace tvl::test
