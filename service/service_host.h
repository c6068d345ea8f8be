// ServiceHost: the running service of tvlService and the entry of its
// command line. With an option the process performs the action of
// ServiceCommands (service_commands.h) and exits with its result; without
// one it is the service, reporting its states to whichever manager started
// the process (none when run by hand), and exits 0 after the service body
// ran, 1 when it could not be run or the chat server could not listen.
//
// The dispatcher (the calling thread) turns SIGTERM and SIGINT into the stop
// control and SIGHUP into the reload, and runs the service body on a thread
// of its own. The body takes the single-instance lock "Tavella Service
// Mutex" (a locked file in the state folder) and the lock of its program
// folder (one server per program folder, whatever its state folder; a
// second one ends with a failure before it touches anything there), opens
// the service log, creates its notification
// window (a message queue its thread blocks on), starts the chat engine, the
// control socket for tvlctl, and serves the queue until the stop message has
// been handled. A chat server that cannot listen ends the body: the reason
// goes to standard error, the service log and the system log, and "running"
// is never reported. The reload reads option.ini, the IP lists and the rooms
// again and restarts the listener; one that cannot listen again ends the
// service the same way.
//
// The service log (service_log.h) is written through the window's thread.
// The fixed numbers (states, wait hints, controls, messages) are in
// service_numbers.h.
//
// The socket layer's error reports (a failed receive, send or accept) go to
// the service log, each kind at most once a minute with the number of
// reports since (server/error_reports.h).
//
// Thread safety: Print, ControlHandler, OnStop, OnReload and SetStatus may
// be called from any thread. The status record is guarded by status_lock_.
// Run and every message handler run on the service thread; the control
// socket's requests are answered there too (its thread posts
// kControlMessage).
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ops/control_server.h"
#include "platform/lock_annotations.h"
#include "server/error_reports.h"
#include "service/engine_object.h"
#include "service/message_window.h"
#include "service/service_commands.h"
#include "service/service_log.h"
#include "service/service_numbers.h"
#include "service/status_reporter.h"

namespace tvl {

class FolderLock;

// Path of the single-instance lock file in the state folder.
std::string service_lock_path();

class ServiceHost {
 public:
  // The status record as last set.
  struct Status {
    int type = kOwnProcessType;
    int state = 0;
    int controls_accepted = 0;
    int exit_code = 0;
    int check_point = 0;
    int wait_hint = 0;
  };

  ServiceHost(std::string service_name, std::string display_name);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // args: the arguments after the program path. The exit value.
  int ParseCommandLine(const std::vector<std::string>& args);
  ServiceCommands& commands() { return commands_; }

  // Where the status reports go (default: the manager that started the
  // process) and the program folder the body serves. Set before use.
  void set_reporter(std::unique_ptr<StatusReporter> reporter) EXCLUDES(status_lock_);
  void set_program_folder(const std::string& folder);  // ends in "/"

  // The dispatcher: runs the service until it has ended; the exit value.
  int RunAsService();
  void ServiceMain();
  // The service body.
  void Run();

  void ControlHandler(int control);
  void OnStop();
  // SIGHUP: posts the reload message (nothing while the body has no window).
  void OnReload();
  // Sends the status; on success reports "Service started" for running and
  // "Service stopped" for stopped, on failure "SetServiceStatus() failed".
  bool SetStatus(int state, int wait_hint_ms) EXCLUDES(status_lock_);
  void ReportServiceEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The message sink of the service: a line of the service log.
  void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  ServiceLog& log() { return log_; }

  Status status() const EXCLUDES(status_lock_);
  // True after the body ended because the chat server could not listen.
  bool failed() const { return failed_; }
  // After the body has ended: true when no client thread of the chat server
  // is left within timeout_ms (or there was no engine). False means a page
  // handler is still running on the engine; the engine must then not be
  // destroyed under it, so the program ends without destroying the host.
  bool clients_ended(int timeout_ms);
  // The engine object; null before Run has started it.
  EngineObject* engine() { return engine_.get(); }
  bool window_exists() const { return window_.exists(); }

 private:
  // Message handlers, on the service thread.
  void dispatch(unsigned message);
  void OnStopMessage();
  // False when the settings were refused (the server serves on as it was)
  // or the server could not listen again (the service then ends).
  bool OnReloadMessage();
  void RunControlJobs();

  // Takes the program folder's lock for the life of the body. False (told
  // on standard error and in the system log) when another server holds it.
  [[nodiscard]] bool TakeProgramFolder(FolderLock& lock);
  void StartControlServer();
  void StopControlServer();
  // A failure of the body a person must learn of: standard error, the
  // service log and the system log.
  void ReportFailure(const std::string& text);
  void ReportListenFailure();
  void ReportReadOnlyFolder();
  // Tells what the load found wrong with option.ini and rooms.sdb (standard
  // error, the service log, the system log). False when the settings were
  // refused.
  bool ReportLoadProblems();
  // Checks option.ini before a reload touches anything; reports and keeps
  // the problems in the site data. False when it is refused.
  bool SettingsReloadable();
  // Says at start or reload whether HTTPS is served, and why not when asked for.
  void ReportTls();
  StatusReporter& reporter() REQUIRES(status_lock_);

  const std::string service_name_;
  ServiceCommands commands_;
  std::string program_folder_;

  mutable Mutex status_lock_;
  Status status_ GUARDED_BY(status_lock_);
  std::unique_ptr<StatusReporter> reporter_ GUARDED_BY(status_lock_);

  MessageWindow window_;
  ServiceLog log_{window_};

  ControlServer control_;  // service thread only

  // The body's life, on the service thread: Idle before and after Run,
  // Serving while its loop serves the window's messages, Stopping once the
  // stop message was handled (or the start failed), which ends the loop.
  enum class Body { Idle, Serving, Stopping };
  Body body_ = Body::Idle;                   // service thread only
  std::atomic<bool> stop_requested_{false};  // a stop control arrived
  bool failed_ = false;                      // service thread only
  std::unique_ptr<EngineObject> engine_;     // service thread only
  // The socket layer's failures, told in the service log at most once a
  // minute each.
  ErrorReports error_reports_;
};

}  // namespace tvl
