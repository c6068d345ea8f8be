// ServiceHost: the service object of tvlService. It performs the
// command-line actions (install, uninstall, start, stop) on the service
// manager, or runs the service body, reporting its states to whichever
// manager started the process, and writes the service log.
//
// Command line: only the arguments after the program path are looked at,
// joined by blanks and scanned for "-" or "/"; the character after it
// selects the action ("i" install, "u" uninstall, "s" start, "e" stop,
// lower case only); any other character is skipped and the scan goes on.
// Every argument must be one of those options or "--help" / "-h" (the usage
// on standard output, exit 0); anything else is refused with a message and
// the usage on standard error, exit 2, before anything is done.
// Exit values: Install/Uninstall 1 on success or nothing to do, 0 on
// failure; StartTheService/StopTheService 1 when the service got to running
// / stopped, else 0, each printing its result (success on standard output,
// failure on standard error); no option: RunAsService, 0 after the service
// body ran, 1 when it could not be run or the chat server could not listen.
//
// A chat server that cannot listen ends the service body: the reason goes
// to standard error, the service log and the system log, "running" is never
// reported, and the process exits 1. SIGHUP (or the reload message) reads
// option.ini, the IP lists and the rooms again and restarts the listener.
//
// Without an option the process is the service: the dispatcher (the calling
// thread) turns SIGTERM and SIGINT into the stop control and runs the
// service body on a thread of its own. The body takes the single-instance
// lock "Tavella Service Mutex" (a locked file in the state folder), creates
// its notification window (a message queue its thread serves), starts the
// chat engine and serves the queue until the stop message has been handled.
//
// Service log lines ("service.log" in the program folder, when "LogLevel" is
// not 0): "%04d-%02d-%02d %02d:%02d:%02d.%03d " (year, month, day, hour,
// minute, second, millisecond of the Print call: the date form of the
// system log file) followed by the text. Starts, stops, reloads and every
// error of the body are logged.
// Print queues the line and posts "write next line" to the notification
// window; without the window the printing thread writes it at once.
//
// Thread safety: Print, ControlHandler, OnStop, OnPause, OnContinue,
// OnShutdown and SetStatus may be called from any thread. The message queue
// is guarded by queue_lock_, the status record by status_lock_. Run,
// WriteNextLine (while the window exists) and OnStopMessage run on the
// service thread.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/control_server.h"
#include "service/engine_object.h"
#include "service/message_window.h"
#include "service/service_manager.h"
#include "service/status_reporter.h"

namespace tvl {

// Registry key of the service's settings and its value "LogLevel".
extern const char kServiceSettingsKey[];
// LogLevel from the registry stand-in; 3 when it cannot be read.
int read_log_level();

// The event-log source key of a service.
std::string event_source_key(const std::string& service_name);

// Path of the single-instance lock file in the state folder.
std::string service_lock_path();

// Control codes of the control handler.
enum ServiceControl {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlInterrogate = 4,
  kControlShutdown = 5,
};

class ServiceHost {
 public:
  static constexpr unsigned kWriteNextLineMessage = 1227;
  static constexpr unsigned kStopMessage = 1228;
  static constexpr unsigned kReloadMessage = 1229;
  static constexpr unsigned kControlMessage = 1230;  // a tvlctl request waits

  // What the arguments ask for, before any action is chosen.
  enum class Arguments { kAction, kHelp, kUnknown };
  // kUnknown names the first argument that is no option in `unknown`.
  static Arguments CheckArguments(const std::vector<std::string>& args, std::string& unknown);
  // The usage text, several lines, ending in a line end.
  static std::string Usage();

  // One line of the message queue.
  struct LogEntry {
    int year = 0, month = 0, day_of_week = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
    int level = 3;
    std::string text;
  };

  // The status record as last set.
  struct Status {
    int type = 0x10;  // own process
    int state = 0;
    int controls_accepted = 0;
    int exit_code = 0;
    int check_point = 0;
    int wait_hint = 0;
  };

  // Sets the process-wide pointer (instance()); the destructor clears it.
  ServiceHost(std::string service_name, std::string display_name);
  virtual ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  static ServiceHost* instance();

  // What the host works with; each has a default taken from the running
  // program and its environment. Set before use.
  void set_manager(std::unique_ptr<ServiceManager> manager);
  void set_reporter(std::unique_ptr<StatusReporter> reporter);
  void set_program_path(const std::string& path);      // full path of the program
  void set_program_folder(const std::string& folder);  // ends in "/"
  void set_poll_interval(std::chrono::milliseconds interval);

  // The service body.
  virtual void Run();
  // Controls.
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  // SIGHUP: posts the reload message (nothing while the body has no window).
  void OnReload();
  // The dispatcher: runs the service until it has ended.
  virtual int RunAsService();
  virtual int Install();
  virtual int Uninstall();
  virtual int StartTheService();
  virtual int StopTheService();
  // args: the arguments after the program path.
  virtual int ParseCommandLine(const std::vector<std::string>& args);

  // The letter of the selected action ('i', 'u', 's', 'e') or 0.
  static char SelectAction(const std::vector<std::string>& args);

  void ServiceMain();
  void ControlHandler(int control);
  // Sends the status; on success reports "Service started" for running and
  // "Service stopped" for stopped, on failure "SetServiceStatus() failed".
  bool SetStatus(int state, int wait_hint_ms);
  void ReportServiceEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void WriteNextLine();
  void OnStopMessage();
  // False when the server could not listen again (the service then ends).
  bool OnReloadMessage();
  // A tvlctl request, from the control thread: handed to the service thread
  // and awaited. Refused while the body is not serving its loop.
  CommandResult HandleControlRequest(const CommandRequest& request);
  // True after the body ended because the chat server could not listen.
  bool failed() const { return failed_; }

  const std::string& service_name() const { return service_name_; }
  Status status() const;
  std::size_t queued_lines() const;
  // After the body has ended: true when no client thread of the chat server
  // is left within timeout_ms (or there was no engine). False means a page
  // handler is still running on the engine; the engine must then not be
  // destroyed under it, so the program ends without destroying the host.
  bool clients_ended(int timeout_ms);
  // The engine object; null before Run has started it.
  EngineObject* engine() { return engine_.get(); }
  bool window_exists() const { return window_.exists(); }

  // The service-log prefix of an entry.
  static std::string LinePrefix(const LogEntry& entry);

 private:
  void dispatch(unsigned message);
  void RunControlJobs();
  void StartControlServer();
  void StopControlServer();
  // A failure of the body a person must learn of: standard error, the
  // service log and the system log.
  void ReportFailure(const std::string& text);
  void ReportListenFailure();
  void ReportReadOnlyFolder();
  // A result of -s / -e: success on standard output, failure on standard
  // error, both as "<service name>: <text>".
  void SayResult(bool success, const char* text);
  ServiceManager& manager();
  StatusReporter& reporter();

  const std::string service_name_;
  const std::string display_name_;
  std::string program_path_;
  std::string program_folder_;
  std::chrono::milliseconds poll_interval_{1000};
  std::unique_ptr<ServiceManager> manager_;

  mutable std::mutex status_lock_;  // guards status_ and reporter_
  Status status_;
  std::unique_ptr<StatusReporter> reporter_;

  mutable std::mutex queue_lock_;  // guards queue_, jobs_ and accepting_jobs_
  std::deque<LogEntry> queue_;
  struct ControlJob {
    CommandRequest request;
    std::promise<CommandResult> result;
  };
  std::deque<std::shared_ptr<ControlJob>> jobs_;
  bool accepting_jobs_ = false;
  ControlServer control_;  // service thread only

  MessageWindow window_;
  std::atomic<bool> stop_requested_{false};  // a stop control arrived
  bool stop_event_ = false;                  // service thread only
  bool failed_ = false;                      // service thread only
  std::unique_ptr<EngineObject> engine_;     // service thread only
};

}  // namespace tvl
