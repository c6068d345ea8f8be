#include "service/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
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

int ServiceHost::ParseCommandLine(const std::vector<std::string>& args) {
  switch (SelectAction(args)) {
    case 'i': return Install();
    case 'u': return Uninstall();
    case 's': return StartTheService();
    case 'e': return StopTheService();
    default: return RunAsService();
  }
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
  (void)write_profile_string("Server", "startup", "0", program_folder_ + "option.ini");  // not reported, by design
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
  if (!m.open_manager() || !m.exists(service_name_)) return 0;
  if (!m.request_start(service_name_)) return 0;
  int state = kServiceStartPending;
  while (state == kServiceStartPending) {
    std::this_thread::sleep_for(poll_interval_);
    int now = 0;
    if (!m.query(service_name_, now)) break;
    state = now;
  }
  return state == kServiceRunning ? 1 : 0;
}

int ServiceHost::StopTheService() {
  ServiceManager& m = manager();
  if (!m.open_manager() || !m.exists(service_name_)) return 0;
  if (!m.request_stop(service_name_)) return 0;
  int state = kServiceStopPending;
  while (state == kServiceStopPending) {
    std::this_thread::sleep_for(poll_interval_);
    int now = 0;
    if (!m.query(service_name_, now)) break;
    state = now;
  }
  return state == kServiceStopped ? 1 : 0;
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
  }
  service.join();
  // Controls that arrived after the end are dropped, not acted on by the
  // default disposition once the mask is restored.
  timespec none{0, 0};
  while (sigtimedwait(&controls, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return 0;
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
  engine_->start_chat_server();
  SetStatus(kServiceRunning, 3000);

  while (!stop_event_) {
    window_.wait(std::chrono::milliseconds(10));
    for (unsigned message : window_.take()) dispatch(message);
  }

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
  std::snprintf(prefix, sizeof prefix, "%02d/%02d/%02d %02d:%02d:%02d.%03d ", e.day, e.month,
                e.year, e.hour, e.minute, e.second, e.millisecond);
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
