#include "service/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <thread>

#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry_file.h"
#include "platform/system_log.h"
#include "service/log_file.h"
#include "storage/settings.h"

namespace tvl {

const char kServiceSettingsKey[] =
    "HKEY_LOCAL_MACHINE\\software\\KTR Software Inc.\\Chat Service\\Settings";

int read_log_level() {
  std::uint32_t level = 3;
  if (!registry_get_dword(kServiceSettingsKey, "LogLevel", level)) return 3;
  return static_cast<int>(level);
}

std::string event_source_key(const std::string& service_name) {
  return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         service_name;
}

std::string service_lock_path() { return state_folder() + "Tavella Service Mutex.lock"; }

namespace {

std::atomic<ServiceHost*> g_host{nullptr};

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(size));
  return text;
}

ServiceHost::LogEntry entry_now(int level, std::string text) {
  ServiceHost::LogEntry e;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  e.year = local.tm_year + 1900;
  e.month = local.tm_mon + 1;
  e.day_of_week = local.tm_wday;
  e.day = local.tm_mday;
  e.hour = local.tm_hour;
  e.minute = local.tm_min;
  e.second = local.tm_sec;
  e.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  e.level = level;
  e.text = std::move(text);
  return e;
}

}  // namespace

ServiceHost::ServiceHost(std::string service_name, std::string display_name)
    : service_name_(std::move(service_name)),
      display_name_(std::move(display_name)),
      program_path_(program_path()),
      program_folder_(program_folder()) {
  g_host.store(this);
}

ServiceHost::~ServiceHost() {
  engine_.reset();
  ServiceHost* self = this;
  g_host.compare_exchange_strong(self, nullptr);
}

ServiceHost* ServiceHost::instance() { return g_host.load(); }

void ServiceHost::set_manager(std::unique_ptr<ServiceManager> manager) {
  manager_ = std::move(manager);
}

void ServiceHost::set_reporter(std::unique_ptr<StatusReporter> reporter) {
  std::lock_guard<std::mutex> hold(status_lock_);
  reporter_ = std::move(reporter);
}

void ServiceHost::set_program_path(const std::string& path) { program_path_ = path; }
void ServiceHost::set_program_folder(const std::string& folder) { program_folder_ = folder; }
void ServiceHost::set_poll_interval(std::chrono::milliseconds interval) {
  poll_interval_ = interval;
}

ServiceManager& ServiceHost::manager() {
  if (!manager_) manager_ = make_service_manager();
  return *manager_;
}

// Called with status_lock_ held.
StatusReporter& ServiceHost::reporter() {
  if (!reporter_) reporter_ = make_status_reporter(service_name_);
  return *reporter_;
}

ServiceHost::Status ServiceHost::status() const {
  std::lock_guard<std::mutex> hold(status_lock_);
  return status_;
}

std::size_t ServiceHost::queued_lines() const {
  std::lock_guard<std::mutex> hold(queue_lock_);
  return queue_.size();
}

// ---- command line -------------------------------------------------------

char ServiceHost::SelectAction(const std::vector<std::string>& args) {
  std::string text;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) text += ' ';
    text += args[i];
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '-' && text[i] != '/') continue;
    if (i + 1 >= text.size()) break;
    char option = text[i + 1];
    if (option == 'i' || option == 'u' || option == 's' || option == 'e') return option;
    ++i;  // the character after the sign selected nothing: go on after it
  }
  return 0;
}

ServiceHost::Arguments ServiceHost::CheckArguments(const std::vector<std::string>& args,
                                                  std::string& unknown) {
  bool help = false;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      help = true;
      continue;
    }
    const bool option = a.size() == 2 && (a[0] == '-' || a[0] == '/') &&
                        (a[1] == 'i' || a[1] == 'u' || a[1] == 's' || a[1] == 'e');
    if (!option) {
      unknown = a;
      return Arguments::kUnknown;
    }
  }
  return help ? Arguments::kHelp : Arguments::kAction;
}

std::string ServiceHost::Usage() {
  return "Usage: tvlService [-i | -u | -s | -e | --help]\n"
         "  (none)  serve the chat in the foreground, or as the service when a service\n"
         "          manager started it; SIGTERM or SIGINT stop it, SIGHUP reads\n"
         "          option.ini, the IP lists and the rooms again\n"
         "  -i      install the service     exit 1: installed or already there, 0: failed\n"
         "  -u      remove the service      exit 1: removed or not there, 0: failed\n"
         "  -s      start the service       exit 1: running, 0: not started\n"
         "  -e      stop the service        exit 1: stopped, 0: not stopped\n"
         "  --help  show this text          exit 0\n"
         "The letters may also follow \"/\". Any other argument is refused (exit 2).\n"
         "Without an option the exit status is 0, or 1 when the chat server could not\n"
         "listen (the reason is on standard error, in service.log and in the system log).\n";
}

int ServiceHost::ParseCommandLine(const std::vector<std::string>& args) {
  std::string unknown;
  switch (CheckArguments(args, unknown)) {
    case Arguments::kHelp:
      std::fputs(Usage().c_str(), stdout);
      std::fflush(stdout);
      return 0;
    case Arguments::kUnknown:
      std::fprintf(stderr, "tvlService: unknown option \"%s\"\n%s", unknown.c_str(),
                   Usage().c_str());
      return 2;
    case Arguments::kAction:
      break;
  }
  switch (SelectAction(args)) {
    case 'i': return Install();
    case 'u': return Uninstall();
    case 's': return StartTheService();
    case 'e': return StopTheService();
    default: return RunAsService();
  }
}

void ServiceHost::SayResult(bool success, const char* text) {
  std::FILE* out = success ? stdout : stderr;
  std::fprintf(out, "%s: %s\n", service_name_.c_str(), text);
  std::fflush(out);
}

// ---- installation and control -------------------------------------------

int ServiceHost::Install() {
  ServiceManager& m = manager();
  if (m.exists(service_name_)) return 1;
  if (!m.open_manager()) {
    message_box(service_name_, "Couldn't open service manager", MessageIcon::Error);
    return 0;
  }
  if (!m.create(ServiceEntry{service_name_, display_name_, program_path_})) {
    message_box(service_name_, "Couldn't create service", MessageIcon::Error);
    return 0;
  }
  const std::string key = event_source_key(service_name_);
  if (!registry_set_string(key, "EventMessageFile", program_path_, true)) return 0;
  registry_set_dword(key, "TypesSupported", 7);
  message_box(service_name_, "Service succesfully installed", MessageIcon::Information);
  // While the service exists the window program must not start itself.
  write_profile_string("Server", "startup", "0", program_folder_ + "option.ini");
  set_run_at_startup(false);
  return 1;
}

int ServiceHost::Uninstall() {
  ServiceManager& m = manager();
  if (!m.exists(service_name_)) return 1;
  if (!m.open_manager()) {
    message_box(service_name_, "Couldn't open service manager", MessageIcon::Error);
    return 0;
  }
  if (!m.open_for_delete(service_name_)) {
    message_box(service_name_, "Couldn't open service", MessageIcon::Error);
    return 0;
  }
  m.request_stop(service_name_);  // not awaited, result not checked
  if (m.remove(service_name_)) {
    message_box(service_name_, "Service succesfully uninstalled", MessageIcon::Information);
    return 1;
  }
  message_box(service_name_, "Service could not be deleted", MessageIcon::Error);
  return 0;
}

int ServiceHost::StartTheService() {
  ServiceManager& m = manager();
  if (!m.open_manager()) {
    SayResult(false, "Couldn't open service manager");
    return 0;
  }
  if (!m.exists(service_name_)) {
    SayResult(false, "Service is not installed (install it with -i)");
    return 0;
  }
  if (!m.request_start(service_name_)) {
    // A start is refused above all when the service runs already.
    int now = 0;
    const bool running = m.query(service_name_, now) && now == kServiceRunning;
    SayResult(false, running ? "Service is already running"
                             : "Service could not be started: the service manager refused the start");
    return 0;
  }
  int state = kServiceStartPending;
  while (state == kServiceStartPending) {
    std::this_thread::sleep_for(poll_interval_);
    int now = 0;
    if (!m.query(service_name_, now)) break;
    state = now;
  }
  if (state == kServiceRunning) {
    SayResult(true, "Service started");
    return 1;
  }
  SayResult(false, "Service could not be started; service.log and the system log say why");
  return 0;
}

int ServiceHost::StopTheService() {
  ServiceManager& m = manager();
  if (!m.open_manager()) {
    SayResult(false, "Couldn't open service manager");
    return 0;
  }
  if (!m.exists(service_name_)) {
    SayResult(false, "Service is not installed");
    return 0;
  }
  if (!m.request_stop(service_name_)) {
    SayResult(false, "Service is not running");
    return 0;
  }
  int state = kServiceStopPending;
  while (state == kServiceStopPending) {
    std::this_thread::sleep_for(poll_interval_);
    int now = 0;
    if (!m.query(service_name_, now)) break;
    state = now;
  }
  if (state == kServiceStopped) {
    SayResult(true, "Service stopped");
    return 1;
  }
  SayResult(false, "Service could not be stopped");
  return 0;
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
    ReportServiceEvent("%s", std::strerror(error));
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
    std::lock_guard<std::mutex> hold(status_lock_);
    reporter();  // "registering the handler": find the manager that started us
  }
  SetStatus(kServiceStartPending, 3000);
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    status_.exit_code = 0;
    status_.check_point = 0;
    status_.wait_hint = 0;
  }
  Run();
  SetStatus(kServiceStopped, 3000);
}

void ServiceHost::ControlHandler(int control) {
  switch (control) {
    case kControlStop: {
      std::lock_guard<std::mutex> hold(status_lock_);
      status_.state = kServiceStopPending;
    }
      OnStop();
      break;
    case kControlPause: {
      std::lock_guard<std::mutex> hold(status_lock_);
      status_.state = kServicePausePending;
    }
      OnPause();
      break;
    case kControlContinue: {
      std::lock_guard<std::mutex> hold(status_lock_);
      status_.state = kServiceContinuePending;
    }
      OnContinue();
      break;
    case kControlInterrogate:
      SetStatus(status().state, 3000);
      break;
    case kControlShutdown:
      OnShutdown();
      break;
    default:
      ReportServiceEvent("Bad service request");
      break;
  }
}

bool ServiceHost::SetStatus(int state, int wait_hint_ms) {
  bool sent;
  {
    std::lock_guard<std::mutex> hold(status_lock_);
    status_.type = 0x10;
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
  std::string text = vformat(format, args);
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

void ServiceHost::OnPause() { ReportServiceEvent("Service paused"); }
void ServiceHost::OnContinue() { ReportServiceEvent("Service continued"); }
void ServiceHost::OnShutdown() { ReportServiceEvent("Service shutdown"); }

// ---- the service body ---------------------------------------------------

void ServiceHost::Run() {
  LockFile mutex;
  make_directory(state_folder());
  // Only another holder ends the body; a lock file that cannot be created
  // (no state folder and no right to make one) does not stop the service.
  if (mutex.acquire(service_lock_path()) == LockFile::kHeld) return;

  SetStatus(kServiceStartPending, 3000);
  stop_event_ = false;
  if (!window_.create("Tavella Service Notification Sink")) {
    Print(1, "ERROR: Unable to create Tavella Service notify window.");
    return;  // the service main reports stopped
  }
  if (stop_requested_.load()) window_.post(kStopMessage);

  if (!engine_) engine_ = std::make_unique<EngineObject>();
  engine_->load(program_folder_);
  ReportReadOnlyFolder();
  failed_ = false;
  if (engine_->start_chat_server()) {
    SetStatus(kServiceRunning, 3000);
    Print(3, "Tavella Service started: chat server on port %d",
          engine_->engine().site().settings.port);
    StartControlServer();
  } else {
    ReportListenFailure();
    failed_ = true;
    stop_event_ = true;  // the loop is not entered; the body ends at once
  }

  while (!stop_event_) {
    window_.wait(std::chrono::milliseconds(10));
    for (unsigned message : window_.take()) dispatch(message);
  }

  StopControlServer();
  Print(3, "Tavella Service stopping...");
  // Lines still queued for the window are written before it goes.
  for (unsigned message : window_.destroy()) {
    if (message == kWriteNextLineMessage) WriteNextLine();
  }
  stop_event_ = false;
  stop_requested_.store(false);
  Print(3, "Tavella Service stopped.");
  mutex.release();
}

bool ServiceHost::clients_ended(int timeout_ms) {
  return !engine_ || engine_->engine().server().wait_clients(timeout_ms);
}

void ServiceHost::dispatch(unsigned message) {
  if (message == kWriteNextLineMessage) WriteNextLine();
  else if (message == kStopMessage) OnStopMessage();
  else if (message == kReloadMessage) (void)OnReloadMessage();  // it reports itself
  else if (message == kControlMessage) RunControlJobs();
}

bool ServiceHost::OnReloadMessage() {
  if (!engine_ || stop_event_) return false;
  Print(3, "Reading option.ini, the IP lists and the rooms again");
  if (engine_->reload()) {
    Print(3, "Tavella Service reloaded: chat server on port %d",
          engine_->engine().site().settings.port);
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
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    accepting_jobs_ = true;
  }
  std::string reason;
  const std::string path = control_socket_path();
  if (!control_.start(path, [this](const CommandRequest& r) { return HandleControlRequest(r); },
                      reason))
    ReportFailure("The control socket " + path + " cannot be opened (" + reason +
                  "): tvlctl cannot reach this server");
}

void ServiceHost::StopControlServer() {
  std::deque<std::shared_ptr<ControlJob>> left;
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    accepting_jobs_ = false;
    left.swap(jobs_);
  }
  // A request that came too late is answered, so the control thread ends.
  for (auto& job : left)
    job->result.set_value({1, "", "tvlctl: the server is stopping; nothing was changed\n"});
  control_.stop();
}

CommandResult ServiceHost::HandleControlRequest(const CommandRequest& request) {
  auto job = std::make_shared<ControlJob>();
  job->request = request;
  std::future<CommandResult> result = job->result.get_future();
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    if (!accepting_jobs_) return {1, "", "tvlctl: the server is stopping; nothing was changed\n"};
    jobs_.push_back(job);
  }
  (void)window_.post(kControlMessage);  // the window lives while jobs are accepted
  return result.get();
}

void ServiceHost::RunControlJobs() {
  for (;;) {
    std::shared_ptr<ControlJob> job;
    {
      std::lock_guard<std::mutex> hold(queue_lock_);
      if (jobs_.empty()) return;
      job = jobs_.front();
      jobs_.pop_front();
    }
    const std::string& folder = engine_->engine().site().program_folder;
    std::error_code e1, e2;
    const bool same = std::filesystem::weakly_canonical(job->request.folder, e1) ==
                      std::filesystem::weakly_canonical(folder, e2);
    if (!same) {
      job->result.set_value({kOtherFolderStatus, "", ""});
      continue;
    }
    OperatorTarget target;
    target.program_folder = folder;
    target.engine = &engine_->engine();
    target.reload = [this] { return OnReloadMessage(); };
    job->result.set_value(run_operator_command(job->request.args, job->request.input, target));
  }
}

void ServiceHost::ReportFailure(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", service_name_.c_str(), text.c_str());
  std::fflush(stderr);
  Print(1, "ERROR: %s", text.c_str());
  ReportServiceEvent("%s", text.c_str());
}

void ServiceHost::ReportListenFailure() {
  const ServerSettings& s = engine_->engine().site().settings;
  std::string reason = engine_->listen_problem();
  if (reason.empty()) reason = "the server's threads could not be started";
  char text[512];
  std::snprintf(text, sizeof text, "The chat server cannot listen on %s port %d: %s",
                s.listen_address.empty() ? "all addresses," : (s.listen_address + ",").c_str(),
                s.port, reason.c_str());
  ReportFailure(text);
}

void ServiceHost::ReportReadOnlyFolder() {
  const std::string& folder = engine_->engine().site().program_folder;
  if (is_writable(folder)) return;
  ReportFailure("The program folder " + folder +
                " is read-only: accounts, rooms, options and the chat log cannot be written");
}

void ServiceHost::OnStopMessage() {
  if (engine_) engine_->stop_chat_server();
  SetStatus(kServiceStopPending, 5000);
  stop_event_ = true;
}

// ---- the service log ----------------------------------------------------

void ServiceHost::Print(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    queue_.push_back(entry_now(level, std::move(text)));
  }
  if (!window_.post(kWriteNextLineMessage)) WriteNextLine();
}

std::string ServiceHost::LinePrefix(const LogEntry& e) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", e.year, e.month,
                e.day, e.hour, e.minute, e.second, e.millisecond);
  return prefix;
}

void ServiceHost::WriteNextLine() {
  LogEntry entry;
  {
    std::lock_guard<std::mutex> hold(queue_lock_);
    if (queue_.empty()) return;
    entry = std::move(queue_.front());
    queue_.pop_front();
  }
  CLogFile& log = service_log();
  log.set_level(entry.level == 1 ? 1 : entry.level == 2 ? 2 : 3);
  // One write per line, so lines of different threads never interleave.
  log.write(LinePrefix(entry) + entry.text + "\n");
}

}  // namespace tvl
