// Settings: reading option.ini with its defaults and quirks, the templates
// and IP lists loaded with it, and saves into files people edit by hand.
#include "storage/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>

#include "platform/fs.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { site_.program_folder = dir_.path(); }
  void option_ini(const std::string& content) const { dir_.write("option.ini", content); }
  void load() { load_settings(site_, nullptr); }
  std::string text(const SharedText& t) const { return *t.get(); }

  TestEnvironment env_;
  TempDir dir_;
  SiteData site_;
};

TEST_F(SettingsTest, WithoutOptionIniEverythingHasItsDefault) {
  load();
  const ServerSettings& s = site_.settings;
  EXPECT_EQ(80, s.port);
  EXPECT_EQ("index.ghp", s.default_page);
  EXPECT_EQ(dir_.path(), s.web_pages);
  EXPECT_TRUE(s.allow_registration);
  EXPECT_EQ(0, s.filter_mode);
  EXPECT_FALSE(s.save_log);
  EXPECT_FALSE(s.auto_active);
  EXPECT_FALSE(s.startup);
  EXPECT_FALSE(s.minimize);
  EXPECT_EQ(5, s.post_burst);
  EXPECT_EQ(1000, s.post_interval_ms);
  EXPECT_EQ(20, s.max_places_per_address);
  EXPECT_FALSE(s.remote_pictures);
  EXPECT_EQ(500, s.max_online);
}

// The option.ini that ships states every bound with its default, so that
// what an operator reads there is what the server does without it.
TEST_F(SettingsTest, TheShippedOptionIniHoldsTheDefaults) {
  std::string shipped;
  ASSERT_TRUE(read_whole_file(std::string(TAVELLA_SOURCE_DIR) + "/site/option.ini", shipped));
  option_ini(shipped);
  load();
  EXPECT_TRUE(site_.settings_problems.empty());
  const ServerSettings defaults;
  const ServerSettings& s = site_.settings;
  EXPECT_EQ(8080, s.port);  // the one key it sets otherwise: no root needed
  const struct {
    const char* key;
    int ServerSettings::*field;
  } bounds[] = {
      {"NetworkPrefixV4", &ServerSettings::network_prefix_v4},
      {"NetworkPrefixV6", &ServerSettings::network_prefix_v6},
      {"PostBurst", &ServerSettings::post_burst},
      {"PostIntervalMs", &ServerSettings::post_interval_ms},
      {"MaxOnline", &ServerSettings::max_online},
      {"MaxPlacesPerAddress", &ServerSettings::max_places_per_address},
      {"MaxConnections", &ServerSettings::max_connections},
      {"MaxConnectionsPerAddress", &ServerSettings::max_connections_per_address},
      {"MaxPendingKB", &ServerSettings::max_pending_kb},
      {"MaxFailedLogins", &ServerSettings::max_failed_logins},
      {"MaxRegistrationsPerHour", &ServerSettings::max_registrations_per_hour},
      {"MaxPasswordChecks", &ServerSettings::max_password_checks},
      {"PasswordQueue", &ServerSettings::password_queue},
  };
  for (const auto& b : bounds) {
    EXPECT_EQ(defaults.*b.field, s.*b.field) << b.key;
    EXPECT_NE(shipped.find(std::string("\n") + b.key + "="), std::string::npos) << b.key;
  }
}

struct LoadCase {
  const char* what;
  const char* ini;
  void (*check)(const ServerSettings&, const std::string& folder);
};

const LoadCase kLoads[] = {
    {"every key set",
     "[Server]\r\nWebPages=/srv/www/\r\nDefaultPage=start.ghp\r\nport=8080\r\nStartup=1\r\n"
     "AutoActive=1\r\nMinimize=1\r\nSavelog=1\r\nRegNew=0\r\nFilterMode=2\r\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ("/srv/www/", s.web_pages);
       EXPECT_EQ("start.ghp", s.default_page);
       EXPECT_EQ(8080, s.port);
       EXPECT_TRUE(s.startup && s.auto_active && s.minimize && s.save_log);
       EXPECT_FALSE(s.allow_registration);
       EXPECT_EQ(2, s.filter_mode);
     }},
    {"writer's spellings and any case",
     "[SERVER]\nPort=81\nstartup=1\nsavelog=1\nregnew=0\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ(81, s.port);
       EXPECT_TRUE(s.startup);
       EXPECT_TRUE(s.save_log);
       EXPECT_FALSE(s.allow_registration);
     }},
    {"any non-zero number is on", "[Server]\nSavelog=5\nMinimize=-1\nAutoActive=0\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_TRUE(s.save_log);
       EXPECT_TRUE(s.minimize);
       EXPECT_FALSE(s.auto_active);
     }},
    {"blanks around a number", "[Server]\nport= 8081 \nFilterMode=\t1\nTlsPort=\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ(8081, s.port);
       EXPECT_EQ(1, s.filter_mode);
       EXPECT_EQ(0, s.tls_port);  // empty: the default
     }},
    {"empty WebPages is the program folder", "[Server]\nWebPages=\nDefaultPage=\n",
     [](const ServerSettings& s, const std::string& folder) {
       EXPECT_EQ(folder, s.web_pages);
       EXPECT_EQ("", s.default_page);  // stored unchanged
     }},
    {"quoted values", "[Server]\nWebPages=\"/my pages/\"\nport='90'\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ("/my pages/", s.web_pages);
       EXPECT_EQ(90, s.port);
     }},
    {"address and TLS keys; relative file names are in the program folder",
     "[Server]\nListenAddress=127.0.0.1\nTlsPort=8443\nTlsCertificate=tls/cert.pem\n"
     "TlsKey=/etc/keys/key.pem\nTlsRedirect=1\n",
     [](const ServerSettings& s, const std::string& folder) {
       EXPECT_EQ("127.0.0.1", s.listen_address);
       EXPECT_EQ(8443, s.tls_port);
       EXPECT_EQ(folder + "tls/cert.pem", s.tls_certificate);
       EXPECT_EQ("/etc/keys/key.pem", s.tls_key);
       EXPECT_TRUE(s.tls_redirect);
     }},
    {"without them: all addresses and no HTTPS", "[Server]\nport=81\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ("", s.listen_address);
       EXPECT_EQ(0, s.tls_port);
       EXPECT_EQ("", s.tls_certificate);
       EXPECT_EQ("", s.tls_key);
       EXPECT_FALSE(s.tls_redirect);
       }},
    {"bounds on one visitor, any case", "[Server]\npostburst=2\nPostIntervalMs=250\n"
     "MAXPLACESPERADDRESS=0\nRemotePictures=1\nmaxonline=2000\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ(2000, s.max_online);
       EXPECT_EQ(2, s.post_burst);
       EXPECT_EQ(250, s.post_interval_ms);
       EXPECT_EQ(0, s.max_places_per_address);
       EXPECT_TRUE(s.remote_pictures);
     }},
    {"bounds for the whole server; 0 lifts them",
     "[Server]\nMaxConnections=0\nMaxPendingKB=1024\nMaxPasswordChecks=0\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ(0, s.max_connections);
       EXPECT_EQ(1024, s.max_pending_kb);
       EXPECT_EQ(0, s.max_password_checks);
     }},
    {"keys outside the section do not count", "port=1\n[Other]\nport=2\n",
     [](const ServerSettings& s, const std::string&) { EXPECT_EQ(80, s.port); }},
    {"long values cut to 255 characters",
     "[Server]\nDefaultPage=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
     "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n",
     [](const ServerSettings& s, const std::string&) {
       EXPECT_EQ(std::string(255, 'x'), s.default_page);
     }},
};

// A value that is not a number, or out of its range, is refused: the
// problem names the file, key and value, and no setting is taken.
struct BadCase {
  const char* ini;
  const char* problem;  // the text after "<folder>option.ini: "
};

const BadCase kBadValues[] = {
    {"[Server]\nFilterMode=I\n", "FilterMode=I is not a number from 0 to 2"},
    {"[Server]\nFilterMode=3\n", "FilterMode=3 is not a number from 0 to 2"},
    {"[Server]\nPort=8O8O\n", "port=8O8O is not a number from 0 to 65535"},
    {"[Server]\nport=99999\n", "port=99999 is not a number from 0 to 65535"},
    {"[Server]\nport= 8081x \n", "port=8081x is not a number from 0 to 65535"},
    {"[Server]\nport=-1\n", "port=-1 is not a number from 0 to 65535"},
    {"[Server]\nport=99999999999999999999\n", "port=99999999999999999999 is not a number from 0 to 65535"},
    {"[Server]\nRegNew=yes\n", "RegNew=yes is not a number"},
    {"[Server]\nSavelog=on\n", "Savelog=on is not a number"},
    {"[Server]\nMaxOnline=20001\n", "MaxOnline=20001 is not a number from 0 to 20000"},
    // A cluster's table counts every node's visitors.
    {"[Server]\nMaxOnline=200001\n[Cluster]\nRedis=127.0.0.1:6379\n",
     "MaxOnline=200001 is not a number from 0 to 200000"},
    {"[Server]\nPostBurst=-5\n", "PostBurst=-5 is not a number from 0 to 1000000"},
    {"[Server]\nTlsPort=+\n", "TlsPort=+ is not a number from 0 to 65535"},
    {"[Server]\nMaxConnections=-1\n", "MaxConnections=-1 is not a number from 0 to 1000000"},
    {"[Server]\nMaxPendingKB=64M\n", "MaxPendingKB=64M is not a number from 0 to 1000000"},
    {"[Server]\nMaxConnectionsPerAddress=1e3\n",
     "MaxConnectionsPerAddress=1e3 is not a number from 0 to 1000000"},
};

TEST_F(SettingsTest, BadNumbersAreRefusedByKeyValueAndFile) {
  for (const BadCase& c : kBadValues) {
    option_ini(std::string(c.ini) + "Savelog=1\n");
    site_.settings = ServerSettings();
    site_.settings_read = false;  // a first load, as at start
    load();
    ASSERT_EQ(1u, site_.settings_problems.size()) << c.ini;
    EXPECT_EQ(dir_.path() + "option.ini: " + c.problem, site_.settings_problems[0]);
    // Nothing of the file is taken, not even its good keys.
    EXPECT_FALSE(site_.settings.save_log) << c.ini;
    EXPECT_EQ(80, site_.settings.port) << c.ini;
    ServerSettings checked;
    std::vector<std::string> problems;
    EXPECT_FALSE(check_settings_file(dir_.path(), checked, &problems));
    EXPECT_EQ(site_.settings_problems, problems);
  }
}

TEST_F(SettingsTest, ClusterSectionIsReadAndAMalformedRedisAddressRefused) {
  load();  // no file: no cluster
  EXPECT_TRUE(site_.settings.cluster_redis.empty());
  option_ini("[Server]\nport=81\nMaxOnline=100000\n[cluster]\nredis=10.0.0.5:6380\nRedisPassword=s3cret\nNode=n1\n");
  load();
  EXPECT_TRUE(site_.settings_problems.empty());
  EXPECT_EQ(100000, site_.settings.max_online);  // a cluster counts every node's visitors
  EXPECT_EQ("10.0.0.5:6380", site_.settings.cluster_redis);
  EXPECT_EQ("s3cret", site_.settings.cluster_redis_password);
  EXPECT_EQ("n1", site_.settings.cluster_node);
  EXPECT_EQ(81, site_.settings.port);

  option_ini("[Server]\nport=82\n[Cluster]\nRedis=host:99999\n");
  site_.settings = ServerSettings();
  site_.settings_read = false;
  load();
  ASSERT_EQ(1u, site_.settings_problems.size());
  EXPECT_NE(site_.settings_problems[0].find("Redis=host:99999"), std::string::npos);
  EXPECT_EQ(80, site_.settings.port);  // nothing of the file is taken
}

TEST_F(SettingsTest, AReloadWithABadValueOrNoFileKeepsEverySetting) {
  option_ini("[Server]\nPort=8080\nFilterMode=1\nSavelog=1\n");
  load();
  ASSERT_TRUE(site_.settings_problems.empty());
  for (const char* later : {"[Server]\nPort=8080\nFilterMode=I\nSavelog=0\n", ""}) {
    if (*later) option_ini(later);
    else ASSERT_TRUE(delete_file(dir_.path() + "option.ini"));
    load();
    EXPECT_EQ(1u, site_.settings_problems.size()) << later;
    EXPECT_EQ(8080, site_.settings.port);
    EXPECT_EQ(1, site_.settings.filter_mode);
    EXPECT_TRUE(site_.settings.save_log);
  }
  // A good file again is taken.
  option_ini("[Server]\nPort=8081\n");
  load();
  EXPECT_TRUE(site_.settings_problems.empty());
  EXPECT_EQ(8081, site_.settings.port);
  EXPECT_EQ(0, site_.settings.filter_mode);
}

TEST_F(SettingsTest, OptionIniIsReadWithTheProfileRules) {
  for (const LoadCase& c : kLoads) {
    SCOPED_TRACE(c.what);
    site_.settings = ServerSettings();
    option_ini(c.ini);
    load();
    c.check(site_.settings, dir_.path());
  }
}

TEST_F(SettingsTest, LoadRunsItsStepsInOrderAndSetsTheLogDate) {
  dir_.write("index.htm", "INDEX");
  int rooms_loaded = 0;
  std::string index_when_rooms_loaded;
  load_settings(site_, [&] {
    ++rooms_loaded;
    index_when_rooms_loaded = text(site_.templates[T_INDEX]);
  });
  EXPECT_EQ(1, rooms_loaded);
  EXPECT_EQ("INDEX", index_when_rooms_loaded);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char today[16];
  std::strftime(today, sizeof today, "%Y-%m-%d", &local);
  EXPECT_EQ(today, site_.log_date);
}

// A server that holds its folder tidies it: leftovers of interrupted account
// writes go, accounts and the chat log become private. Loading the settings
// (also a reload, while the server's own writes may be under way) does
// neither.
TEST_F(SettingsTest, OnlyTidyingTheFolderRemovesLeftoversAndMakesFilesPrivate) {
  dir_.write("users/ann", "password=pw\r\n");
  dir_.write("users/.#bob.tmp-77-0", "password=x\r\n");
  dir_.write("log/20260314.txt", "row\r\n");
  struct {
    const char* path;
    int before, after;
  } modes[] = {{"users/", 0755, 0700}, {"users/ann", 0644, 0600}, {"log/", 0755, 0700},
               {"log/20260314.txt", 0644, 0600}};
  auto mode_of = [&](const char* relative) {
    struct stat st{};
    return ::stat((dir_.path() + relative).c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  };
  for (const auto& m : modes) ASSERT_EQ(::chmod((dir_.path() + m.path).c_str(), m.before), 0);

  load();
  EXPECT_TRUE(dir_.exists("users/.#bob.tmp-77-0"));
  for (const auto& m : modes) EXPECT_EQ(mode_of(m.path), m.before) << m.path;

  tidy_program_folder(dir_.path());
  EXPECT_FALSE(dir_.exists("users/.#bob.tmp-77-0"));
  EXPECT_EQ(dir_.read("users/ann"), "password=pw\r\n");
  for (const auto& m : modes) EXPECT_EQ(mode_of(m.path), m.after) << m.path;
}

TEST_F(SettingsTest, ProgramFolderComesFromTheExecutableWhenNotSet) {
  SiteData site;
  load_settings(site, nullptr);
  EXPECT_EQ(program_folder(), site.program_folder);
  EXPECT_EQ('/', site.program_folder.back());
}

TEST_F(SettingsTest, TemplatesAndListsAreReadByNameFromTheProgramFolder) {
  for (int id = 0; id < T_COUNT; ++id)
    dir_.write(template_file_name(static_cast<TemplateId>(id)),
               std::string("<") + template_file_name(static_cast<TemplateId>(id)) + ">");
  dir_.write("acceptip.txt", "10.0.0.*\r\n");
  dir_.write("rejectip.txt", std::string("1.2.3.4\0tail", 12));
  load_templates(site_);
  const char* names[] = {"index.htm",  "body.htm", "chatsubmit.htm", "chat.htm",
                         "users.htm",  "users2.htm", "ad.htm", "register.htm",
                         "previewicons.htm", "findresult.htm"};
  for (int id = 0; id < T_COUNT; ++id)
    EXPECT_EQ(std::string("<") + names[id] + ">", text(site_.templates[id])) << id;
  EXPECT_EQ("10.0.0.*\r\n", text(site_.accept_list));
  EXPECT_EQ(std::string("1.2.3.4\0tail", 12), text(site_.reject_list));
}

TEST_F(SettingsTest, UnreadableTemplateKeepsItsPreviousText) {
  dir_.write("chat.htm", "first");
  load_templates(site_);
  ::unlink((dir_.path() + "chat.htm").c_str());
  dir_.write("body.htm", "new body");
  load_templates(site_);
  EXPECT_EQ("first", text(site_.templates[T_CHAT]));
  EXPECT_EQ("new body", text(site_.templates[T_BODY]));
  EXPECT_EQ("", text(site_.templates[T_INDEX]));
}

// --- saving ------------------------------------------------------------------

ServerSettings sample() {
  ServerSettings v;
  v.web_pages = "/ignored/";
  v.default_page = "ignored.ghp";
  v.port = 8081;
  v.startup = false;
  v.auto_active = true;
  v.minimize = false;
  v.save_log = true;
  v.allow_registration = false;
  v.filter_mode = 2;
  return v;
}

TEST_F(SettingsTest, SaveIntoAFileWithoutTheKeysAddsThemInOrder) {
  save_settings(site_, sample());
  EXPECT_EQ("[Server]\r\nstartup=0\r\nAutoActive=1\r\nMinimize=0\r\nSavelog=1\r\nPort=8081\r\n"
            "RegNew=0\r\nFilterMode=2\r\n",
            dir_.read("option.ini"));
}

TEST_F(SettingsTest, SaveKeepsCommentsOrderAndUnknownKeysOfAHandEditedFile) {
  const std::string before =
      "; Tavella options, edited by hand\n"
      "[Server]\n"
      "WebPages = /srv/chat/\n"
      "; the port browsers use\n"
      "port = 80\n"
      "Colour=blue\n"
      "SAVELOG=0\n"
      "\n"
      "[Extra]\n"
      "note=keep me\n";
  option_ini(before);
  save_settings(site_, sample());
  EXPECT_EQ(
      "; Tavella options, edited by hand\n"
      "[Server]\n"
      "WebPages = /srv/chat/\n"
      "; the port browsers use\n"
      "port=8081\r\n"
      "Colour=blue\n"
      "SAVELOG=1\r\n"
      "startup=0\r\n"
      "AutoActive=1\r\n"
      "Minimize=0\r\n"
      "RegNew=0\r\n"
      "FilterMode=2\r\n"
      "\n"
      "[Extra]\n"
      "note=keep me\n",
      dir_.read("option.ini"));
}

TEST_F(SettingsTest, SaveUpdatesTheLiveSettingsButNotThePageFolder) {
  option_ini("[Server]\nWebPages=/srv/www/\nDefaultPage=x.ghp\n");
  load();
  save_settings(site_, sample());
  EXPECT_EQ("/srv/www/", site_.settings.web_pages);
  EXPECT_EQ("x.ghp", site_.settings.default_page);
  EXPECT_EQ(8081, site_.settings.port);
  EXPECT_TRUE(site_.settings.save_log);
  EXPECT_FALSE(site_.settings.allow_registration);
  // What was saved is what the next start reads.
  SiteData again;
  again.program_folder = dir_.path();
  load_settings(again, nullptr);
  EXPECT_EQ(8081, again.settings.port);
  EXPECT_TRUE(again.settings.auto_active);
  EXPECT_EQ(2, again.settings.filter_mode);
  EXPECT_FALSE(again.settings.allow_registration);
}

TEST_F(SettingsTest, SaveKeepsTheStartAtLogonEntryInStep) {
  const std::string entry = env_.config_dir() + "autostart/Tavella.desktop";
  ServerSettings v = sample();
  v.startup = true;
  save_settings(site_, v);
  EXPECT_TRUE(is_regular_file(entry));
  EXPECT_NE(std::string::npos, dir_.read("option.ini").find("startup=1\r\n"));
  v.startup = false;
  save_settings(site_, v);
  EXPECT_FALSE(is_regular_file(entry));
}

TEST_F(SettingsTest, SaveIntoAMissingFolderIsIgnored) {
  site_.program_folder = dir_.path() + "gone/";
  save_settings(site_, sample());
  EXPECT_EQ(8081, site_.settings.port);
  EXPECT_FALSE(dir_.exists("gone"));
}

}  // namespace
}  // namespace tvl::test
