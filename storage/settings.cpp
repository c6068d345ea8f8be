#include "storage/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/autostart.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "storage/account.h"
#include "storage/client_network.h"

namespace tvl {

namespace {

constexpr const char* kSection = "Server";
constexpr std::size_t kValueBuffer = 256;

const char* const kTemplateNames[T_COUNT] = {
    "index.htm", "body.htm",     "chatsubmit.htm",   "chat.htm",      "users.htm",
    "users2.htm", "ad.htm",      "register.htm",     "previewicons.htm", "findresult.htm"};

std::string read_key(const std::string& file, const char* key, const char* fallback) {
  return get_profile_string(kSection, key, fallback, kValueBuffer, file);
}

// Decimal atoi: anything that is not a number reads as 0.
int read_int(const std::string& file, const char* key, const char* fallback) {
  return std::atoi(read_key(file, key, fallback).c_str());
}

void write_int(const std::string& file, const char* key, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  (void)write_profile_string(kSection, key, text, file);  // not reported, by design
}

void load_text(const std::string& path, SharedText& into) {
  std::string text;
  if (read_whole_file(path, text)) into.set(std::move(text));
}

}  // namespace

int processor_count() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

std::string client_network_of(const ServerSettings& settings, const std::string& address) {
  return client_network(address, settings.network_prefix_v4, settings.network_prefix_v6);
}

const char* template_file_name(TemplateId id) {
  if (id < 0 || id >= T_COUNT) return "";
  return kTemplateNames[id];
}

void load_templates(SiteData& site) {
  for (int id = 0; id < T_COUNT; ++id)
    load_text(site.program_folder + kTemplateNames[id], site.templates[id]);
  load_text(site.program_folder + "acceptip.txt", site.accept_list);
  load_text(site.program_folder + "rejectip.txt", site.reject_list);
}

void load_settings(SiteData& site, const std::function<void()>& load_rooms) {
  if (site.program_folder.empty()) site.program_folder = program_folder();

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  site.log_date = date;

  // A write interrupted by a signal or a crash may have left a temporary
  // file beside the accounts; it is never an account.
  remove_account_leftovers(site.program_folder);
  load_templates(site);
  if (load_rooms) load_rooms();

  const std::string file = site.program_folder + "option.ini";
  ServerSettings& s = site.settings;
  s.web_pages = read_key(file, "WebPages", "");
  s.default_page = read_key(file, "DefaultPage", "index.ghp");
  s.port = read_int(file, "port", "80");
  s.startup = read_int(file, "Startup", "0") != 0;
  s.auto_active = read_int(file, "AutoActive", "0") != 0;
  s.minimize = read_int(file, "Minimize", "0") != 0;
  s.save_log = read_int(file, "Savelog", "0") != 0;
  s.allow_registration = read_int(file, "RegNew", "1") != 0;
  s.filter_mode = read_int(file, "FilterMode", "0");
  s.max_connections_per_address = std::max(read_int(file, "MaxConnectionsPerAddress", "256"), 0);
  s.trusted_proxies = read_key(file, "TrustedProxies", "");
  s.max_failed_logins = read_int(file, "MaxFailedLogins", "5");
  s.max_registrations_per_hour = read_int(file, "MaxRegistrationsPerHour", "3");
  s.post_burst = read_int(file, "PostBurst", "5");
  s.post_interval_ms = read_int(file, "PostIntervalMs", "1000");
  s.max_places_per_address = read_int(file, "MaxPlacesPerAddress", "20");
  s.remote_pictures = read_int(file, "RemotePictures", "0") != 0;
  s.max_online = read_int(file, "MaxOnline", "500");
  s.network_prefix_v4 = read_int(file, "NetworkPrefixV4", "32");
  s.network_prefix_v6 = read_int(file, "NetworkPrefixV6", "64");
  s.max_password_checks =
      read_int(file, "MaxPasswordChecks", std::to_string(processor_count()).c_str());
  s.password_queue = read_int(file, "PasswordQueue", "8");
  if (s.web_pages.empty()) s.web_pages = site.program_folder;
  s.listen_address = read_key(file, "ListenAddress", "");
  s.tls_port = read_int(file, "TlsPort", "0");
  s.tls_certificate = read_key(file, "TlsCertificate", "");
  s.tls_key = read_key(file, "TlsKey", "");
  s.tls_redirect = read_int(file, "TlsRedirect", "0") != 0;
  for (std::string* path : {&s.tls_certificate, &s.tls_key})
    if (!path->empty() && (*path)[0] != '/') *path = site.program_folder + *path;
}

void save_settings(SiteData& site, const ServerSettings& values) {
  ServerSettings& s = site.settings;
  s.port = values.port;
  s.startup = values.startup;
  s.auto_active = values.auto_active;
  s.minimize = values.minimize;
  s.save_log = values.save_log;
  s.allow_registration = values.allow_registration;
  s.filter_mode = values.filter_mode;

  const std::string file = site.program_folder + "option.ini";
  write_int(file, "startup", s.startup);
  set_run_at_startup(s.startup);
  write_int(file, "AutoActive", s.auto_active);
  write_int(file, "Minimize", s.minimize);
  write_int(file, "Savelog", s.save_log);
  write_int(file, "Port", s.port);
  write_int(file, "RegNew", s.allow_registration);
  write_int(file, "FilterMode", s.filter_mode);
}

void set_run_at_startup(bool on) { platform_set_run_at_startup(on); }

}  // namespace tvl
