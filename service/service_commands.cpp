#include "service/service_commands.h"

#include <cstdio>
#include <thread>

#include "platform/fs.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/registry_file.h"
#include "storage/settings.h"

namespace tvl {

std::string event_source_key(const std::string& service_name) {
  return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         service_name;
}

ServiceCommands::ServiceCommands(std::string service_name, std::string display_name)
    : service_name_(std::move(service_name)),
      display_name_(std::move(display_name)),
      program_path_(program_path()),
      program_folder_(program_folder()) {}

void ServiceCommands::set_manager(std::unique_ptr<ServiceManager> manager) {
  manager_ = std::move(manager);
}
void ServiceCommands::set_program_path(const std::string& path) { program_path_ = path; }
void ServiceCommands::set_program_folder(const std::string& folder) { program_folder_ = folder; }
void ServiceCommands::set_poll_interval(std::chrono::milliseconds interval) {
  poll_interval_ = interval;
}

ServiceManager& ServiceCommands::manager() {
  if (!manager_) manager_ = make_service_manager();
  return *manager_;
}

char ServiceCommands::SelectAction(const std::vector<std::string>& args) {
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

ServiceCommands::Arguments ServiceCommands::CheckArguments(const std::vector<std::string>& args,
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
      return Arguments::Unknown;
    }
  }
  return help ? Arguments::Help : Arguments::Action;
}

std::string ServiceCommands::Usage() {
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

void ServiceCommands::SayResult(bool success, const char* text) {
  std::FILE* out = success ? stdout : stderr;
  std::fprintf(out, "%s: %s\n", service_name_.c_str(), text);
  std::fflush(out);
}

int ServiceCommands::Install() {
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

int ServiceCommands::Uninstall() {
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

bool ServiceCommands::ReachService(const char* not_installed) {
  ServiceManager& m = manager();
  if (!m.open_manager()) {
    SayResult(false, "Couldn't open service manager");
    return false;
  }
  if (!m.exists(service_name_)) {
    SayResult(false, not_installed);
    return false;
  }
  return true;
}

int ServiceCommands::StartTheService() {
  if (!ReachService("Service is not installed (install it with -i)")) return 0;
  ServiceManager& m = manager();
  if (!m.request_start(service_name_)) {
    // A start is refused above all when the service runs already.
    int now = 0;
    const bool running = m.query(service_name_, now) && now == kServiceRunning;
    SayResult(false, running ? "Service is already running"
                             : "Service could not be started: the service manager refused the start");
    return 0;
  }
  return AwaitState(kServiceStartPending, kServiceRunning, "Service started",
                    "Service could not be started; service.log and the system log say why");
}

int ServiceCommands::AwaitState(int pending, int wanted, const char* reached, const char* missed) {
  int state = pending;
  while (state == pending) {
    std::this_thread::sleep_for(poll_interval_);
    int now = 0;
    if (!manager().query(service_name_, now)) break;
    state = now;
  }
  const bool ok = state == wanted;
  SayResult(ok, ok ? reached : missed);
  return ok ? 1 : 0;
}

int ServiceCommands::StopTheService() {
  if (!ReachService("Service is not installed")) return 0;
  ServiceManager& m = manager();
  if (!m.request_stop(service_name_)) {
    SayResult(false, "Service is not running");
    return 0;
  }
  return AwaitState(kServiceStopPending, kServiceStopped, "Service stopped", "Service could not be stopped");
}

}  // namespace tvl
