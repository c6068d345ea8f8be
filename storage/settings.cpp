#include "storage/settings.h"
#include "storage/redis_address.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/autostart.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "storage/account.h"
#include "storage/ip_list.h"
#include "storage/chat_log.h"
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

// The keys that hold numbers, with their ranges. A bool takes any number
// (non-zero is on) but nothing else: "Savelog=yes" is a typo, not "off".
struct NumberKey {
  const char* key;
  int fallback;
  long min, max;
  int ServerSettings::*number;  // or
  bool ServerSettings::*flag;
};

constexpr long kAnyMin = INT32_MIN, kAnyMax = INT32_MAX, kBound = 1000000;
constexpr int kProcessors = -1;  // as a default: this machine's processors
constexpr long kMaxOnlineAlone = 20000;

const NumberKey kNumberKeys[] = {
    {"port", 80, 0, 65535, &ServerSettings::port, nullptr},
    {"Startup", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::startup},
    {"AutoActive", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::auto_active},
    {"Minimize", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::minimize},
    {"Savelog", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::save_log},
    {"RegNew", 1, kAnyMin, kAnyMax, nullptr, &ServerSettings::allow_registration},
    {"FilterMode", 0, 0, 2, &ServerSettings::filter_mode, nullptr},
    {"MaxConnectionsPerAddress", 256, 0, kBound, &ServerSettings::max_connections_per_address, nullptr},
    {"MaxFailedLogins", 5, 0, kBound, &ServerSettings::max_failed_logins, nullptr},
    {"MaxRegistrationsPerHour", 3, 0, kBound, &ServerSettings::max_registrations_per_hour, nullptr},
    {"PostBurst", 5, 0, kBound, &ServerSettings::post_burst, nullptr},
    {"PostIntervalMs", 1000, 0, 86400000, &ServerSettings::post_interval_ms, nullptr},
    {"MaxPlacesPerAddress", 20, 0, kBound, &ServerSettings::max_places_per_address, nullptr},
    {"RemotePictures", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::remote_pictures},
    // 0..20000 for a server alone (kMaxOnlineAlone); a cluster's table holds
    // every server's visitors.
    {"MaxOnline", 500, 0, 200000, &ServerSettings::max_online, nullptr},
    {"TlsPort", 0, 0, 65535, &ServerSettings::tls_port, nullptr},
    {"TlsRedirect", 0, kAnyMin, kAnyMax, nullptr, &ServerSettings::tls_redirect},
    {"NetworkPrefixV4", 32, 0, 32, &ServerSettings::network_prefix_v4, nullptr},
    {"NetworkPrefixV6", 64, 0, 128, &ServerSettings::network_prefix_v6, nullptr},
    {"MaxPasswordChecks", kProcessors, 0, kBound, &ServerSettings::max_password_checks, nullptr},
    {"PasswordQueue", 8, 0, kBound, &ServerSettings::password_queue, nullptr},
    {"MaxConnections", 10000, 0, kBound, &ServerSettings::max_connections, nullptr},
    {"MaxPendingKB", 64 * 1024, 0, kBound, &ServerSettings::max_pending_kb, nullptr},
};

// A decimal number, blanks around it allowed, nothing else. False for
// anything else, or a number beyond long's range.
bool parse_number(const std::string& text, long& value) {
  std::size_t a = text.find_first_not_of(" \t");
  std::size_t b = text.find_last_not_of(" \t");
  if (a == std::string::npos) return false;
  const std::string digits = text.substr(a, b - a + 1);
  std::size_t i = digits[0] == '-' || digits[0] == '+' ? 1 : 0;
  if (i == digits.size() || digits.size() - i > 10) return false;
  for (std::size_t j = i; j < digits.size(); ++j)
    if (digits[j] < '0' || digits[j] > '9') return false;
  value = std::strtol(digits.c_str(), nullptr, 10);
  return true;
}

// Reads every key of `file` into `s`; a number that is not one or is out of
// its range keeps the value `s` had and adds a problem.
void read_keys(const std::string& file, const std::string& program_folder, ServerSettings& s,
               std::vector<std::string>& problems) {
  s.web_pages = read_key(file, "WebPages", "");
  s.default_page = read_key(file, "DefaultPage", "index.ghp");
  s.cluster_redis = get_profile_string("Cluster", "Redis", "", kValueBuffer, file);
  for (const NumberKey& k : kNumberKeys) {
    const std::string text = read_key(file, k.key, "");
    long value = k.fallback == kProcessors ? processor_count() : k.fallback;
    const long max = k.number == &ServerSettings::max_online && s.cluster_redis.empty()
                         ? kMaxOnlineAlone : k.max;
    // An empty value is no value: the key's default.
    if (!text.empty() && text.find_first_not_of(" \t") != std::string::npos &&
        (!parse_number(text, value) || value < k.min || value > max)) {
      char range[64];
      std::snprintf(range, sizeof range, "%ld to %ld", k.min, max);
      problems.push_back(file + ": " + k.key + "=" + text + " is not a number" +
                         (k.flag ? std::string() : std::string(" from ") + range));
      continue;
    }
    if (k.number) s.*k.number = int(value);
    else s.*k.flag = value != 0;
  }
  s.trusted_proxies = read_key(file, "TrustedProxies", "");
  if (s.web_pages.empty()) s.web_pages = program_folder;
  s.listen_address = read_key(file, "ListenAddress", "");
  s.tls_certificate = read_key(file, "TlsCertificate", "");
  s.tls_key = read_key(file, "TlsKey", "");
  for (std::string* path : {&s.tls_certificate, &s.tls_key})
    if (!path->empty() && (*path)[0] != '/') *path = program_folder + *path;
  s.cluster_redis_password = get_profile_string("Cluster", "RedisPassword", "", kValueBuffer, file);
  s.cluster_node = get_profile_string("Cluster", "Node", "", kValueBuffer, file);
  RedisAddress redis;
  if (!s.cluster_redis.empty() && !parse_redis_address(s.cluster_redis, redis))
    problems.push_back(file + ": [Cluster] Redis=" + s.cluster_redis +
                       " is neither host:port nor the path of a Unix socket");
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
  load_text(site.program_folder + kAcceptListFile, site.accept_list);
  load_text(site.program_folder + kRejectListFile, site.reject_list);
}

void load_settings(SiteData& site, const std::function<void()>& load_rooms) {
  if (site.program_folder.empty()) site.program_folder = program_folder();

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  site.log_date = date;

  load_templates(site);
  if (load_rooms) load_rooms();

  site.settings_problems.clear();
  const std::string file = site.program_folder + "option.ini";
  if (!is_regular_file(file) && site.settings_read) {
    // A reload without the file (removed, or a folder) would fall back to
    // port 80 on every address with the filter off: the settings stay.
    site.settings_problems.push_back(file + " is missing or not a file; the settings stay as they were");
    return;
  }
  ServerSettings read = site.settings_read ? site.settings : ServerSettings();
  if (!check_settings_file(site.program_folder, read, &site.settings_problems)) return;
  site.settings = read;
  site.settings_read = true;
}

void tidy_program_folder(const std::string& program_folder) {
  // A write interrupted by a signal or a crash may have left a temporary
  // file beside the accounts; it is never an account.
  remove_account_leftovers(program_folder);
  tighten_account_files(program_folder);
  tighten_chat_log_files(program_folder);
}

bool check_settings_file(const std::string& program_folder, ServerSettings& settings,
                         std::vector<std::string>* problems) {
  std::vector<std::string> found;
  ServerSettings read = settings;
  const std::string file = program_folder + "option.ini";
  if (is_directory(file)) found.push_back(file + " is a folder, not a settings file");
  else read_keys(file, program_folder, read, found);
  if (problems) problems->insert(problems->end(), found.begin(), found.end());
  if (!found.empty()) return false;
  settings = read;
  return true;
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
