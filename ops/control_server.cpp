#include "ops/control_server.h"

#include <filesystem>

#include "platform/fs.h"

namespace tvl {

namespace {

const CommandResult kStopping{1, "", "tvlctl: the server is stopping; nothing was changed\n"};

bool same_folder(const std::string& a, const std::string& b) {
  std::error_code e1, e2;
  return std::filesystem::weakly_canonical(a, e1) == std::filesystem::weakly_canonical(b, e2);
}

}  // namespace

std::string control_socket_path() { return state_folder() + "control.sock"; }

ControlServer::~ControlServer() { stop(); }

std::string folder_served_text(const std::string& program_folder) {
  return "Another server serves the program folder " + program_folder +
         " (or tvlctl is changing its files): this one does not start";
}

std::string ControlServer::unreachable_text(const std::string& path, const std::string& reason) {
  return "The control socket " + path + " cannot be opened (" + reason +
         "): tvlctl cannot reach this server";
}

bool ControlServer::start(const std::string& path, Wake wake, Reason& why) {
  stop();
  if (!stop_.valid()) return why.fail("no stop event");
  stop_.reset();
  if (!listener_.open(path, why)) return false;
  wake_ = std::move(wake);
  {
    MutexLock hold(jobs_lock_);
    accepting_ = true;
  }
  if (!thread_.start([this] { serve(); })) {
    {
      MutexLock hold(jobs_lock_);
      accepting_ = false;
    }
    listener_.close();
    return why.fail("the control thread could not be started");
  }
  return true;
}

void ControlServer::stop() {
  if (!thread_.started()) return;
  std::deque<std::shared_ptr<Job>> left;
  {
    MutexLock hold(jobs_lock_);
    accepting_ = false;
    left.swap(jobs_);
  }
  // A request that came too late is answered, so the control thread ends.
  for (auto& job : left) job->result.set_value(kStopping);
  stop_.set();
  (void)thread_.join_for(-1);  // not reported, by design: it ends after its request
  listener_.close();
}

void ControlServer::answer_waiting(const OperatorTarget& target) {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      MutexLock hold(jobs_lock_);
      if (jobs_.empty()) return;
      job = jobs_.front();
      jobs_.pop_front();
    }
    if (!same_folder(job->request.folder, target.program_folder)) {
      job->result.set_value({kOtherFolderStatus, "", ""});
      continue;
    }
    job->result.set_value(run_operator_command(job->request.args, job->request.input, target));
  }
}

CommandResult ControlServer::hand_over(const CommandRequest& request) {
  auto job = std::make_shared<Job>();
  job->request = request;
  std::future<CommandResult> result = job->result.get_future();
  {
    MutexLock hold(jobs_lock_);
    if (!accepting_) return kStopping;
    jobs_.push_back(job);
  }
  wake_();
  return result.get();
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
      result = hand_over(request);
    (void)send_answer(peer, encode_result(result));  // a client gone is not reported
    close_control(peer);
  }
}

}  // namespace tvl
