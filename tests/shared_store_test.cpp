// The accounts and rooms several servers share in Redis: the same answers
// as the account files of a single server for the same changes, changes
// from two servers at once, moving a folder's accounts and rooms into the
// cluster and back, and Redis away.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "cluster/cluster_move.h"
#include "cluster/shared_accounts.h"
#include "platform/fs.h"
#include "storage/account_store.h"
#include "tests/support/private_redis.h"
#include "tests/support/room_file.h"
#include "tests/support/test_util.h"

namespace tvl::test {
namespace {

class SharedAccountsTest : public WithPrivateRedis {
 protected:
  void SetUp() override {
    WithPrivateRedis::SetUp();
    if (IsSkipped()) return;
    pool_ = std::make_shared<RedisPool>(address_, "pw", 2000);
    make_directory(folder_.path() + "users");
  }
  std::shared_ptr<RedisPool> pool_;
  TempDir folder_;
  TestEnvironment env_;
};

MemberValues member(const std::string& password, bool disabled = false,
                    const std::string& icon = "") {
  MemberValues v;
  v.password = password;
  v.sex = "1";
  v.icon = icon;
  v.email = "x@example.org";
  v.disabled = disabled;
  return v;
}

// What one step answers, as text, so that the two stores can be compared
// step by step.
using Step = std::function<std::string(AccountStore&)>;

std::string change(AccountChange c) {
  return c == AccountChange::Written ? "written" : c == AccountChange::Exists ? "exists" : "failed";
}
std::string checked(AccountStore& s, const std::string& name, const std::string& password) {
  std::string icon = "default";
  const AccountCheck c = s.check(name, password, icon);
  const char* words[] = {"member", "guest", "badlogin", "disabled"};
  return std::string(words[static_cast<int>(c)]) + " " + icon;
}
std::string listed(AccountStore& s) {
  std::string names;
  std::vector<AccountListing> all = s.list();
  std::sort(all.begin(), all.end(),
            [](const AccountListing& a, const AccountListing& b) { return a.name < b.name; });
  for (const AccountListing& a : all) names += a.name + "(" + a.sex + a.icon + a.disabled + ") ";
  return names;
}

TEST_F(SharedAccountsTest, AnswersAsTheAccountFilesDoForTheSameChanges) {
  const std::vector<std::pair<const char*, Step>> steps = {
      {"add", [](AccountStore& s) { return change(s.add_member("Ann", member("pw1", false, "3.gif"))); }},
      {"add in another case", [](AccountStore& s) { return change(s.add_member("ANN", member("pw2"))); }},
      {"find in any case", [](AccountStore& s) { return s.find("aNN"); }},
      {"find none", [](AccountStore& s) { return s.find("nobody"); }},
      {"check right", [](AccountStore& s) { return checked(s, "ann", "pw1"); }},
      {"check wrong", [](AccountStore& s) { return checked(s, "Ann", "pw2"); }},
      {"check guest", [](AccountStore& s) { return checked(s, "nobody", ""); }},
      {"check no account", [](AccountStore& s) { return checked(s, "nobody", "pw"); }},
      {"check unsafe name", [](AccountStore& s) { return checked(s, "../x", ""); }},
      {"register", [](AccountStore& s) {
         return change(s.write("Bob", {"bpw", "0", "", "b@example.org", "hi"}, true));
       }},
      {"register taken", [](AccountStore& s) {
         return change(s.write("bob", {"other", "0", "2.gif", "", ""}, true));
       }},
      {"picture from sex", [](AccountStore& s) { return checked(s, "Bob", "bpw"); }},
      {"change keeping password", [](AccountStore& s) {
         return change(s.write("BOB", {"", "1", "4.gif", "new@example.org", "bye"}, false));
       }},
      {"old password still", [](AccountStore& s) { return checked(s, "bob", "bpw"); }},
      {"change of none creates", [](AccountStore& s) {
         return change(s.write("Cy", {"cpw", "2", "1.gif", "", ""}, false));
       }},
      {"password matches", [](AccountStore& s) {
         return std::to_string(s.password_matches("cy", "cpw")) +
                std::to_string(s.password_matches("cy", "x")) +
                std::to_string(s.password_matches("nobody", ""));
       }},
      {"lookalike", [](AccountStore& s) { return s.lookalike("\xD0\xB0nn"); }},  // Cyrillic a
      {"no lookalike", [](AccountStore& s) { return s.lookalike("dee"); }},
      {"disable", [](AccountStore& s) {
         std::string stored;
         return change(s.edit_member("ann", "ann", member("", true), stored)) + " " + stored;
       }},
      {"disabled", [](AccountStore& s) { return checked(s, "Ann", "pw1"); }},
      {"rename onto another", [](AccountStore& s) {
         std::string stored;
         return change(s.edit_member("Ann", "bob", member("", false), stored));
       }},
      {"rename", [](AccountStore& s) {
         std::string stored;
         return change(s.edit_member("Ann", "Anne", member("", false), stored)) + " " + stored;
       }},
      {"old name gone", [](AccountStore& s) { return s.find("ann") + "|" + s.lookalike("ann"); }},
      {"renamed keeps password", [](AccountStore& s) { return checked(s, "anne", "pw1"); }},
      {"read", [](AccountStore& s) {
         AccountListing a;
         return s.read("BOB", a) ? a.name + a.sex + a.icon + a.email + a.profile + a.disabled
                                 : std::string("none");
       }},
      {"list", [](AccountStore& s) { return listed(s); }},
      {"delete", [](AccountStore& s) {
         return std::to_string(s.delete_member("cy")) + std::to_string(s.delete_member("cy"));
       }},
      {"after delete", [](AccountStore& s) { return s.find("Cy") + "|" + listed(s); }},
  };
  FileAccountStore files(folder_.path());
  SharedAccounts shared(pool_);
  for (const auto& [what, step] : steps) EXPECT_EQ(step(shared), step(files)) << what;
}

TEST_F(SharedAccountsTest, TwoServersRegisteringAtOnceLoseNothing) {
  // Two servers, each with its own connections: every name registered by
  // one of them lands once, and of a name both try, exactly one wins.
  SharedAccounts a(pool_);
  SharedAccounts b(std::make_shared<RedisPool>(address_, "pw", 2000));
  constexpr int kNames = 20;
  std::atomic<int> won{0};
  auto run = [&](SharedAccounts& store, const std::string& own) {
    for (int i = 0; i < kNames; ++i) {
      EXPECT_EQ(store.add_member(own + std::to_string(i), member("p")), AccountChange::Written);
      if (store.add_member("Both" + std::to_string(i), member(own)) == AccountChange::Written) ++won;
    }
  };
  std::thread ta([&] { run(a, "a"); });
  std::thread tb([&] { run(b, "b"); });
  ta.join();
  tb.join();
  EXPECT_EQ(won.load(), kNames);
  EXPECT_EQ(a.list().size(), 3u * kNames);
  // Changes of one account from both at once: the last one stands whole.
  std::thread ca([&] {
    for (int i = 0; i < kNames; ++i) (void)a.write("a0", {"", "0", "1.gif", "from-a", "a"}, false);
  });
  std::thread cb([&] {
    for (int i = 0; i < kNames; ++i) (void)b.write("a0", {"", "1", "2.gif", "from-b", "b"}, false);
  });
  ca.join();
  cb.join();
  AccountListing got;
  ASSERT_TRUE(b.read("A0", got));
  EXPECT_TRUE((got.email == "from-a" && got.icon == "1.gif" && got.profile == "a") ||
              (got.email == "from-b" && got.icon == "2.gif" && got.profile == "b"))
      << got.email << got.icon << got.profile;
}


std::string room_text(const std::vector<RoomInfo>& rooms) {
  std::string text;
  for (const RoomInfo& r : rooms)
    text += std::string(r.name) + "|" + r.admin + "|" + (r.guest ? "g" : "-") + (r.admin_only ? "a" : "-") + "\n";
  return text;
}

TEST_F(SharedAccountsTest, ImportThenExportGivesTheFolderBack) {
  const std::vector<RoomInfo> rooms = {room_info("Lobby"),
                                       room_info("Staff", false, true, "ann,bob"),
                                       room_info(std::string(63, 'x').c_str(), true, true)};
  ASSERT_TRUE(write_room_file(folder_.path(), rooms));
  // A hashed account, one of an older version (clear password, no picture,
  // no sex), a disabled one, and what is no account.
  FileAccountStore files(folder_.path());
  ASSERT_EQ(files.add_member("Émile", member("pw", false, "7.gif")), AccountChange::Written);
  ASSERT_EQ(files.add_member("off", member("pw", true)), AccountChange::Written);
  folder_.write("users/old", "[main]\r\npassword=clear\r\nemail=o@example.org\r\n");
  folder_.write("users/empty", "");
  make_directory(folder_.path() + "users/folder");

  std::string report;
  Reason why;
  ASSERT_TRUE(import_into_cluster(*pool_, folder_.path(), report, why)) << why.text;
  EXPECT_NE(report.find("accounts imported: 3, 1 skipped"), std::string::npos) << report;
  // Again: what the cluster holds stays.
  report.clear();
  ASSERT_TRUE(import_into_cluster(*pool_, folder_.path(), report, why)) << why.text;
  EXPECT_NE(report.find("imported: 0, 3 already"), std::string::npos) << report;
  EXPECT_NE(report.find("rooms: the cluster holds rooms already"), std::string::npos) << report;

  TempDir back;
  make_directory(back.path() + "users");
  // A file of one of them in another case is written over, not doubled.
  back.write("users/OFF", "[main]\r\npassword=old\r\nmine=kept\r\n");
  report.clear();
  ASSERT_TRUE(export_from_cluster(*pool_, back.path(), report, why)) << why.text;
  EXPECT_NE(report.find("accounts exported: 3"), std::string::npos) << report;
  EXPECT_NE(report.find("rooms exported: 3"), std::string::npos) << report;
  std::vector<RoomInfo> exported;
  ASSERT_TRUE(read_rooms(back.path(), exported));
  EXPECT_EQ(room_text(exported), room_text(rooms));
  EXPECT_FALSE(is_regular_file(back.path() + "rooms.sdb.export"));
  FileAccountStore again(back.path());
  EXPECT_FALSE(is_regular_file(back.path() + "users/off"));
  EXPECT_NE(back.read("users/OFF").find("mine=kept"), std::string::npos);
  std::string off_icon;
  EXPECT_EQ(again.check("off", "pw", off_icon), AccountCheck::Disabled);
  for (const char* name : {"Émile", "off", "old"}) {
    AccountListing was, is;
    ASSERT_TRUE(files.read(name, was) && again.read(name, is)) << name;
    EXPECT_EQ(is.password + is.sex + is.icon + is.email + is.profile + is.disabled,
              was.password + was.sex + was.icon + was.email + was.profile + was.disabled);
    EXPECT_EQ(checked(again, name, "pw"), checked(files, name, "pw")) << name;
  }
  EXPECT_EQ(file_mode(back.path() + "users/old") & 0777, 0600);
  // The old account logs in with its clear password through the cluster,
  // which keeps only its hash from then on.
  SharedAccounts shared(pool_);
  EXPECT_EQ(checked(shared, "old", "clear"), "member default");
  AccountListing upgraded;
  ASSERT_TRUE(shared.read("old", upgraded));
  EXPECT_NE(upgraded.password, "clear");
  EXPECT_EQ(checked(shared, "old", "clear"), "member default");
}

TEST_F(SharedAccountsTest, RedisAwayLetsNobodyInAndChangesNothing) {
  SharedAccounts shared(pool_);
  ASSERT_EQ(shared.add_member("ann", member("pw")), AccountChange::Written);
  std::vector<AccountListing> all;
  Reason list_why;
  ASSERT_TRUE(shared.list_all(all, list_why)) << list_why.text;
  ASSERT_EQ(all.size(), 1u);
  redis_.stop();
  // A list that could not be read is told apart from an empty one.
  EXPECT_FALSE(shared.list_all(all, list_why));
  EXPECT_NE(list_why.text.find("Redis"), std::string::npos) << list_why.text;
  EXPECT_EQ(checked(shared, "ann", "pw"), "badlogin default");
  EXPECT_EQ(checked(shared, "ann", ""), "guest default");  // the name claim refuses it
  EXPECT_EQ(shared.lookalike("ann"), "");
  EXPECT_EQ(shared.find("ann"), "");
  EXPECT_EQ(shared.write("zed", {"pw", "1", "1.gif", "", ""}, true), AccountChange::Failed);
  EXPECT_EQ(shared.add_member("zed", member("pw")), AccountChange::Failed);
  EXPECT_FALSE(shared.delete_member("ann"));
  folder_.write("users/zed", "[main]\r\npassword=x\r\n");
  std::string report;
  Reason why;
  EXPECT_FALSE(import_into_cluster(*pool_, folder_.path(), report, why));
  EXPECT_NE(why.text.find("Redis"), std::string::npos) << why.text;
}

}  // namespace
}  // namespace tvl::test
