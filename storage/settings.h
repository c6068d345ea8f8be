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
// For the bounds, 0 (or less) means no bound.
// Numbers are read with atoi (non-numbers give 0); a bool is atoi(value) != 0.
#pragma once
#include <functional>
#include <string>

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
};

// Start-up: program folder (from the executable unless already set, which
// tests use), today's date, load_templates(), then load_rooms (may be empty),
// then the keys of option.ini (the nine of the settings page, then
// MaxConnectionsPerAddress and TrustedProxies). An empty WebPages becomes the program
// folder.
void load_settings(SiteData& site, const std::function<void()>& load_rooms);

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
