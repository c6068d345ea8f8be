#include "service/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/folder_lock.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry_file.h"
#include "platform/system_log.h"
#include "service/log_file.h"
#include "storage/settings.h"

namespace tvl {

std::string service_lock_path() { return state_folder() + "Tavella Service Mutex.lock"; }

ServiceHost::ServiceHost(std::string service_name, std::string display_name)
    : service_name_(service_name),
      commands_(std::move(service_name), std::move(display_name)),
      program_folder_(program_folder()),
      error_reports_([this](const std::string& text) { Print(1, "ERROR: %s", text.c_str()); }) {}

ServiceHost::~ServiceHost() { engine_.reset(); }

void ServiceHost::set_reporter(std::unique_ptr<StatusReporter> reporter) {
  MutexLock hold(status_lock_);
  reporter_ = std::move(reporter);
}

void ServiceHost::set_program_folder(const std::string& folder) { program_folder_ = folder; }

StatusReporter& ServiceHost::reporter() {
  if (!reporter_) reporter_ = make_status_reporter(service_name_);
  return *reporter_;
}

ServiceHost::Status ServiceHost::status() const {
  MutexLock hold(status_lock_);
  return status_;
}

// ---- command line -------------------------------------------------------

int ServiceHost::ParseCommandLine(const std::vector<std::string>& args) {
  std::string unknown;
  switch (ServiceCommands::CheckArguments(args, unknown)) {
    case ServiceCommands::Arguments::Help:
      std::fputs(ServiceCommands::Usage().c_str(), stdout);
      std::fflush(stdout);
      return 0;
    case ServiceCommands::Arguments::Unknown:
      std::fprintf(stderr, "tvlService: unknown option \"%s\"\n%s", unknown.c_str(),
                   ServiceCommands::Usage().c_str());
      return kUsageExitStatus;
    case ServiceCommands::Arguments::Action:
      break;
  }
  switch (ServiceCommands::SelectAction(args)) {
    case 'i': return commands_.Install();
    case 'u': return commands_.Uninstall();
    case 's': return commands_.StartTheService();
    case 'e': return commands_.StopTheService();
    default: return RunAsService();
  }
}

// ---- the dispatcher and the status protocol -----------------------------

int ServiceHost::RunAsService() {
  // The stop signals are taken by this thread alone: block them before the
  // service thread (and, through it, every engine thread) exists, so they
  // inherit the mask. SIGUSR1 tells this thread that the service has ended.
  sigset_t controls, previous;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGINT);
  sigaddset(&controls, SIGHUP);
  sigaddset(&controls, SIGUSR1);
  int error = pthread_sigmask(SIG_BLOCK, &controls, &previous);
  if (error != 0) {
    ReportServiceEvent("%s", net::error_text(error).c_str());
    return 1;
  }
  const pthread_t dispatcher = pthread_self();
  std::atomic<bool> ended{false};
  std::thread service;
  try {
    service = std::thread([&] {
      ServiceMain();
      ended.store(true);
      pthread_kill(dispatcher, SIGUSR1);
    });
  } catch (const std::system_error& e) {
    ReportServiceEvent("%s", e.what());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 1;
  }
  while (!ended.load()) {
    int signal_number = 0;
    if (sigwait(&controls, &signal_number) != 0) continue;
    if (signal_number == SIGTERM || signal_number == SIGINT) ControlHandler(kControlStop);
    if (signal_number == SIGHUP) OnReload();
  }
  service.join();
  // Controls that arrived after the end are dropped, not acted on by the
  // default disposition once the mask is restored.
  timespec none{0, 0};
  while (sigtimedwait(&controls, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return failed_ ? 1 : 0;
}

void ServiceHost::ServiceMain() {
  {
    MutexLock hold(status_lock_);
    reporter();  // "registering the handler": find the manager that started us
  }
  SetStatus(kServiceStartPending, kStatusWaitHintMs);
  {
    MutexLock hold(status_lock_);
    status_.exit_code = 0;
    status_.check_point = 0;
    status_.wait_hint = 0;
  }
  Run();
  SetStatus(kServiceStopped, kStatusWaitHintMs);
}

void ServiceHost::ControlHandler(int control) {
  switch (control) {
    case kControlStop: {
      MutexLock hold(status_lock_);
      status_.state = kServiceStopPending;
    }
      OnStop();
      break;
    case kControlPause: {
      MutexLock hold(status_lock_);
      status_.state = kServicePausePending;
    }
      ReportServiceEvent("Service paused");  // the chat server keeps running
      break;
    case kControlContinue: {
      MutexLock hold(status_lock_);
      status_.state = kServiceContinuePending;
    }
      ReportServiceEvent("Service continued");
      break;
    case kControlInterrogate:
      SetStatus(status().state, kStatusWaitHintMs);
      break;
    case kControlShutdown:
      ReportServiceEvent("Service shutdown");
      break;
    default:
      ReportServiceEvent("Bad service request");
      break;
  }
}

bool ServiceHost::SetStatus(int state, int wait_hint_ms) {
  bool sent;
  {
    MutexLock hold(status_lock_);
    status_.type = kOwnProcessType;
    status_.controls_accepted = state == kServiceStartPending ? 0 : kAcceptStop;
    status_.state = state;
    status_.exit_code = 0;
    status_.wait_hint = wait_hint_ms;
    sent = reporter().report(state, status_.controls_accepted, wait_hint_ms);
  }
  if (!sent) {
    ReportServiceEvent("SetServiceStatus() failed");
    return false;
  }
  if (state == kServiceStopped) ReportServiceEvent("Service stopped");
  else if (state == kServiceRunning) ReportServiceEvent("Service started");
  return true;
}

void ServiceHost::ReportServiceEvent(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  write_system_event(service_name_, text);
}

void ServiceHost::OnStop() {
  // A stop that arrives before the window exists (the body is still
  // starting) is remembered and handled as soon as the window is there.
  stop_requested_.store(true);
  window_.post(kStopMessage);
}

void ServiceHost::OnReload() { (void)window_.post(kReloadMessage); }  // none before the window


// ---- the service body ---------------------------------------------------

void ServiceHost::Run() {
  LockFile mutex;
  make_directory(state_folder());
  // Only another holder ends the body; a lock file that cannot be created
  // (no state folder and no right to make one) does not stop the service.
  if (mutex.acquire(service_lock_path()) == LockFile::kHeld) return;
  // Another state folder is another mutex: a second server on the same
  // program folder ends here, before it removes, tightens or writes
  // anything there (leftover account files, service.log, the chat log).
  FolderLock folder_lock;
  if (!TakeProgramFolder(folder_lock)) return;
  tidy_program_folder(program_folder_);
  if (!service_log().is_open() && read_log_level() != 0)
    (void)service_log().Open(program_folder_ + "service.log");  // a failure is shown there

  SetStatus(kServiceStartPending, kStatusWaitHintMs);
  body_ = Body::Serving;
  if (!window_.create("Tavella Service Notification Sink")) {
    Print(1, "ERROR: Unable to create Tavella Service notify window.");
    return;  // the service main reports stopped
  }
  if (stop_requested_.load()) window_.post(kStopMessage);

  if (!engine_) engine_ = std::make_unique<EngineObject>();
  engine_->set_error_reports([this](const char* message, const char* operation, int code) {
    error_reports_.report(message, operation, code);
  });
  engine_->load(program_folder_);
  // Redis away or back: said once each time, on standard error and in
  // service.log.
  engine_->set_cluster_reports([this](const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", service_name_.c_str(), text.c_str());
    std::fflush(stderr);
    Print(1, "%s", text.c_str());
  });
  // The chat log's losses (a full disk) go to the service's own log.
  engine_->engine().chat_log().set_report(
      [this](const std::string& text) { Print(1, "ERROR: %s", text.c_str()); });
  ReportReadOnlyFolder();
  failed_ = false;
  const bool settings_taken = ReportLoadProblems();
  // tvlctl can reach the server from the moment it announces itself;
  // requests wait in the window's queue until the loop serves them.
  StartControlServer();
  if (!settings_taken) {
    // A typo must not start the chat with another port or without its filter.
    ReportFailure("option.ini is refused: the chat server is not started");
    failed_ = true;
    body_ = Body::Stopping;  // the loop is not entered; the body ends at once
  } else if (engine_->start_chat_server()) {
    SetStatus(kServiceRunning, kStatusWaitHintMs);
    Print(3, "Tavella Service started: chat server on port %d",
          engine_->engine().site().settings.port);
    ReportTls();
  } else {
    ReportListenFailure();
    failed_ = true;
    body_ = Body::Stopping;  // the loop is not entered; the body ends at once
  }

  while (body_ == Body::Serving) {
    window_.wait();  // the stop comes as a message too
    for (unsigned message : window_.take()) dispatch(message);
  }

  StopControlServer();
  Print(3, "Tavella Service stopping...");
  // Lines still queued for the window are written before it goes.
  for (unsigned message : window_.destroy()) {
    if (message == kWriteNextLineMessage) log_.WriteNextLine();
  }
  body_ = Body::Idle;
  stop_requested_.store(false);
  Print(3, "Tavella Service stopped.");
  mutex.release();
}

bool ServiceHost::TakeProgramFolder(FolderLock& lock) {
  switch (lock.take(program_folder_, FolderLock::Mode::Exclusive, kServedFolderWaitMs)) {
    case FolderLock::Outcome::Locked:
      return true;
    case FolderLock::Outcome::Failed:
      // A folder that cannot be opened fails on its own, said at the load.
      return true;
    case FolderLock::Outcome::Busy:
      break;
  }
  // Not to service.log: that file is the other server's.
  const std::string text = folder_served_text(program_folder_);
  std::fprintf(stderr, "%s: %s\n", service_name_.c_str(), text.c_str());
  std::fflush(stderr);
  ReportServiceEvent("%s", text.c_str());
  failed_ = true;
  return false;
}

bool ServiceHost::clients_ended(int timeout_ms) {
  return !engine_ || engine_->engine().server().wait_clients(timeout_ms);
}

void ServiceHost::dispatch(unsigned message) {
  if (message == kWriteNextLineMessage) log_.WriteNextLine();
  else if (message == kStopMessage) OnStopMessage();
  else if (message == kReloadMessage) (void)OnReloadMessage();  // it reports itself
  else if (message == kControlMessage) RunControlJobs();
}

bool ServiceHost::OnReloadMessage() {
  if (!engine_ || body_ != Body::Serving) return false;
  Print(3, "Reading option.ini, the IP lists and the rooms again");
  if (!SettingsReloadable()) {
    Print(1, "ERROR: the reload is refused; every setting stays as it was");
    return false;
  }
  if (engine_->reload()) {
    (void)ReportLoadProblems();  // only rooms.sdb can be wrong now
    Print(3, "Tavella Service reloaded: chat server on port %d",
          engine_->engine().site().settings.port);
    ReportTls();
    return true;
  }
  // The new settings name an address or port the server cannot listen on:
  // the service ends as it would at its start, saying why.
  ReportListenFailure();
  failed_ = true;
  OnStopMessage();
  return false;
}

void ServiceHost::StartControlServer() {
  Reason reason;
  const std::string path = control_socket_path();
  // Requests wait in the window's queue until the loop serves them.
  if (!control_.start(path, [this] { (void)window_.post(kControlMessage); }, reason))
    ReportFailure(ControlServer::unreachable_text(path, reason.text));
}

void ServiceHost::StopControlServer() { control_.stop(); }

void ServiceHost::RunControlJobs() {
  OperatorTarget target;
  target.program_folder = engine_->engine().site().program_folder;
  target.engine = &engine_->engine();
  target.reload = [this] { return OnReloadMessage(); };
  control_.answer_waiting(target);
}

void ServiceHost::ReportFailure(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", service_name_.c_str(), text.c_str());
  std::fflush(stderr);
  Print(1, "ERROR: %s", text.c_str());
  ReportServiceEvent("%s", text.c_str());
}

void ServiceHost::ReportListenFailure() {
  const ServerSettings& s = engine_->engine().site().settings;
  // Empty when a probe could listen there: the failure then lay elsewhere.
  std::string reason = engine_->engine().listen_problem(s.port);
  if (reason.empty()) reason = "the server's threads could not be started";
  char text[512];
  std::snprintf(text, sizeof text, "The chat server cannot listen on %s port %d: %s",
                s.listen_address.empty() ? "all addresses," : (s.listen_address + ",").c_str(),
                s.port, reason.c_str());
  ReportFailure(text);
}

void ServiceHost::ReportTls() {
  ChatEngine& engine = engine_->engine();
  if (!engine.tls_problem().empty()) ReportFailure(engine.tls_problem());
  else if (engine.server().tls_listening())
    Print(3, "HTTPS on port %d", engine.site().settings.tls_port);
}

void ServiceHost::ReportReadOnlyFolder() {
  const std::string& folder = engine_->engine().site().program_folder;
  if (is_writable(folder)) return;
  ReportFailure("The program folder " + folder +
                " is read-only: accounts, rooms, options and the chat log cannot be written");
}

bool ServiceHost::ReportLoadProblems() {
  const SiteData& site = engine_->engine().site();
  if (!site.room_problem.empty()) {
    // Standard error has it already (the message box of the service).
    Print(1, "ERROR: %s", site.room_problem.c_str());
    ReportServiceEvent("%s", site.room_problem.c_str());
  }
  for (const std::string& problem : site.settings_problems) ReportFailure(problem);
  return site.settings_problems.empty();
}

bool ServiceHost::SettingsReloadable() {
  SiteData& site = engine_->engine().site();
  site.settings_problems.clear();
  const std::string file = site.program_folder + "option.ini";
  ServerSettings probe = site.settings;
  if (!is_regular_file(file))
    site.settings_problems.push_back(file + " is missing or not a file; the settings stay as they were");
  else
    (void)check_settings_file(site.program_folder, probe, &site.settings_problems);  // listed there
  for (const std::string& problem : site.settings_problems) ReportFailure(problem);
  return site.settings_problems.empty();
}

void ServiceHost::OnStopMessage() {
  if (engine_) engine_->stop_chat_server();
  SetStatus(kServiceStopPending, kStopWaitHintMs);
  body_ = Body::Stopping;
}

// ---- the service log ----------------------------------------------------

void ServiceHost::Print(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text(format, args);
  va_end(args);
  log_.Print(level, "%s", text.c_str());
}

}  // namespace tvl
