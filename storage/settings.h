// Settings (option.ini), the program folder, and the texts loaded with them:
// the ten page templates and the two IP filter lists.
//
// option.ini, section "Server" (key lookup ignores case, so reader and writer
// spellings name the same entry):
//   key read / written      field               default
//   WebPages / never        web_pages           ""  (then the program folder)
//   DefaultPage / never     default_page        "index.ghp"
//   port / Port             port                "80"
//   Startup / startup       startup             "0"
//   AutoActive              auto_active         "0"
//   Minimize                minimize            "0"
//   Savelog                 save_log            "0"
//   RegNew                  allow_registration  "1"
//   FilterMode              filter_mode         "0"
//   ListenAddress / never   listen_address      ""  (all local addresses)
//   TlsPort / never         tls_port            "0" (no HTTPS)
//   TlsCertificate / never  tls_certificate     ""  (PEM; a chain may follow)
//   TlsKey / never          tls_key             ""  (PEM private key)
//   TlsRedirect / never     tls_redirect        "0"
// The two TLS file names are taken relative to the program folder unless
// they begin with "/".
//   MaxFailedLogins / never max_failed_logins   "5"  (per address and per
//                                                     account in 5 minutes)
//   MaxRegistrationsPerHour max_registrations_per_hour "3" (per address)
//     / never
// For the bounds, 0 means no bound.
//   PostBurst / never       post_burst          "5"   lines a place may send at once
//   PostIntervalMs / never  post_interval_ms    "1000" then one line per this many ms
//   MaxPlacesPerAddress /   max_places_per_address "20" places one client address holds
//     never
//   RemotePictures / never  remote_pictures     "0"   other sites' pictures inline
//   MaxOnline / never       max_online          "500" places of the online table
//                                                     (at most 20000)
//   NetworkPrefixV4 / never network_prefix_v4   "32"  bits of an IPv4 address that
//                                                     make one client network
//   NetworkPrefixV6 / never network_prefix_v6   "64"  the same for IPv6
//   MaxPasswordChecks /     max_password_checks the processors: password checks
//     never                                           running at once
//   PasswordQueue / never   password_queue      "8"   checks waiting for a turn
//   MaxConnections / never  max_connections     "10000" connections (each with its
//                                                     thread) the server keeps; 0:
//                                                     as many as descriptors allow
//   MaxPendingKB / never    max_pending_kb      "65536" KiB unfinished requests may
//                                                     hold together (a network: an
//                                                     eighth of it)
// For the bounds, 0 means no bound.
//
// Section "Cluster" (absent, or without Redis=: the server is the whole
// chat by itself, as always):
//   Redis / never           cluster_redis          ""  "host:port" or a Unix socket's path
//   RedisPassword / never   cluster_redis_password ""  sent with AUTH when set
//   Node / never            cluster_node           ""  this server's name in the cluster
//                                                      (empty: made up at the start)
// Numbers are checked: a value that is not a decimal number (blanks around it
// allowed) or lies outside its key's range is refused, naming the key, the
// value and the file; a bool takes any number (non-zero is on). An empty
// value counts as absent. Ranges: port and TlsPort 0..65535, FilterMode 0..2,
// MaxOnline 0..20000 (0..200000 with [Cluster] Redis=), PostIntervalMs 0..86400000, the other bounds
// 0..1000000, NetworkPrefixV4 0..32, NetworkPrefixV6 0..128.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "storage/shared_text.h"

namespace tvl {

// The processors this program may run on (at least 1).
int processor_count();

struct ServerSettings {
  std::string web_pages;
  std::string default_page = "index.ghp";
  int port = 80;
  bool startup = false;
  bool auto_active = false;
  bool minimize = false;
  bool save_log = false;
  bool allow_registration = true;
  int filter_mode = 0;
  std::string listen_address;
  int tls_port = 0;
  std::string tls_certificate;
  std::string tls_key;
  bool tls_redirect = false;
  // Connections one client address may hold at once (0: no bound).
  int max_connections_per_address = 256;
  // Addresses of reverse proxies whose X-Forwarded-For is believed,
  // separated by commas (empty: none).
  std::string trusted_proxies;
  // Bounds on what one client may do to the accounts (0 = no bound).
  int max_failed_logins = 5;
  int max_registrations_per_hour = 3;
  // Bounds on one visitor (0 = none; tests and benches that play many
  // visitors from one address lift them).
  int post_burst = 5;
  int post_interval_ms = 1000;
  int max_places_per_address = 20;
  bool remote_pictures = false;
  // Places of the online table: how many visitors may be in the chat at once.
  int max_online = 500;
  // Leading bits of an address that every bound per client counts as one
  // client network (storage/client_network.h).
  int network_prefix_v4 = 32;
  int network_prefix_v6 = 64;
  // Password checks (each a slow hash with its own memory) running at once,
  // and waiting for a turn beyond them (chat/password_gate.h).
  int max_password_checks = processor_count();
  int password_queue = 8;
  // Connections the server keeps at once, each with its thread (past it
  // the longest-waiting one of the network holding the most makes room),
  // and the memory of unfinished requests together (server/connection_limits.h).
  int max_connections = 10000;
  int max_pending_kb = 64 * 1024;
  // Several servers sharing one chat through Redis (cluster/); empty
  // cluster_redis: this server alone.
  std::string cluster_redis;
  std::string cluster_redis_password;
  std::string cluster_node;
};

// The key of the client network of `address` under the settings' prefixes.
std::string client_network_of(const ServerSettings& settings, const std::string& address);

// The ten templates, in the order load_templates() reads them.
enum TemplateId {
  T_INDEX, T_BODY, T_CHATSUBMIT, T_CHAT, T_USERS, T_USERS2, T_AD, T_REGISTER,
  T_PREVIEWICONS, T_FINDRESULT, T_COUNT
};

// File name of each template, e.g. "index.htm" for T_INDEX.
const char* template_file_name(TemplateId id);

// What the chat engine holds beside the chat state.
// Thread safety: `settings`, `program_folder` and `log_date` are written only
// by the owning (start-up / window) thread while no server runs, or, for
// log_date, under the chat lock; client threads read them without a lock.
// The texts are SharedText and may be replaced at any time.
struct SiteData {
  std::string program_folder;  // ends in "/"
  ServerSettings settings;
  SharedText templates[T_COUNT];
  SharedText accept_list;  // whole content of acceptip.txt
  SharedText reject_list;  // whole content of rejectip.txt
  std::string log_date;    // "%Y-%m-%d" of the day whose log file is open
  // What the last load_settings() found wrong in option.ini (one text each,
  // naming the file, key and value); empty when the settings were taken.
  std::vector<std::string> settings_problems;
  bool settings_read = false;  // settings came from a file once
  // What the last load found wrong with rooms.sdb (empty: nothing).
  std::string room_problem;
};

// Start-up and reload: program folder (from the executable unless already
// set, which tests use), today's date, load_templates(), then load_rooms (may
// be empty), then the keys of option.ini. An empty WebPages becomes the
// program folder. The settings are taken all or nothing: when a value is
// refused (check_settings_file), or at a reload option.ini is missing, every
// setting stays as it was (at the first load: the defaults) and
// site.settings_problems says why; the caller tells the operator.
void load_settings(SiteData& site, const std::function<void()>& load_rooms);

// What a server does to its program folder once it holds the folder's lock
// (never before, since the files may be another running server's, and never
// at a reload, since its own writes may be under way): removes the
// temporary files interrupted account writes left in users/ (never
// accounts), and makes the account files and the chat log private (0600 in
// 0700 folders). Best effort: what cannot be changed stays as it is
// (`tvlctl check` tells it).
void tidy_program_folder(const std::string& program_folder);

// Reads "<program_folder>option.ini" (a missing file gives the defaults)
// over `settings`. False when a value is refused or the name is a folder:
// `settings` is then unchanged and `problems` (when given) receives one text
// per fault, naming the file, the key and the value.
[[nodiscard]] bool check_settings_file(const std::string& program_folder, ServerSettings& settings,
                                       std::vector<std::string>* problems);

// Reads the ten templates, then acceptip.txt and rejectip.txt, from the
// program folder. A file that cannot be read keeps its previous text.
void load_templates(SiteData& site);

// Copies the seven writable fields into site.settings and writes them, in the
// order startup, AutoActive, Minimize, Savelog, Port, RegNew, FilterMode;
// right after "startup" the autostart entry follows `startup`.
void save_settings(SiteData& site, const ServerSettings& values);

// Keeps the start-at-logon entry in step with the startup setting.
void set_run_at_startup(bool on);

}  // namespace tvl
