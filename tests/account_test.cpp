#include "storage/account.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/profile.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

// A web-form write of an existing or new account that succeeded.
bool written(const std::string& folder, const std::string& name, const AccountFields& fields) {
  return write_account(folder, name, fields, false) == AccountChange::Written;
}

// The stored password of an account file.
std::string stored_password(const std::string& path) {
  return get_profile_string("main", "password", "", 256, path);
}

class AccountTest : public ::testing::Test {
 protected:
  AccountTest() { folder.write("users/.keep", ""); }

  void file(const std::string& name, const std::string& lines) {
    folder.write("users/" + name, "[main]\r\n" + lines);
  }
  AccountCheck check(const std::string& name, const std::string& password, std::string& icon) {
    return check_account(folder.path(), name, password, icon);
  }
  AccountCheck check(const std::string& name, const std::string& password) {
    std::string icon = "5.gif";
    return check(name, password, icon);
  }

  test::TestEnvironment env;
  test::TempDir folder;
};

TEST_F(AccountTest, GuestWhenThereIsNoFile) {
  EXPECT_EQ(check("guest1", ""), AccountCheck::Guest);
  EXPECT_EQ(check("guest1", "x"), AccountCheck::BadLogin);
}

TEST_F(AccountTest, AFolderIsNoAccount) {
  folder.write("users/dir/inner", "x");
  EXPECT_EQ(check("dir", ""), AccountCheck::Guest);
  EXPECT_EQ(check("dir", "pw"), AccountCheck::BadLogin);
  EXPECT_TRUE(account_exists(folder.path(), "dir"));
}

TEST_F(AccountTest, PasswordComparedExactly) {
  file("ann", "password=Secret\r\n");
  EXPECT_EQ(check("ann", "Secret"), AccountCheck::Member);
  EXPECT_EQ(check("ann", "secret"), AccountCheck::BadLogin);
  EXPECT_EQ(check("ann", ""), AccountCheck::BadLogin);
  EXPECT_EQ(check("ann", "Secret "), AccountCheck::BadLogin);
}

TEST_F(AccountTest, FileWithoutPasswordAcceptsOnlyTheEmptyOne) {
  file("nopw", "sex=1\r\n");
  EXPECT_EQ(check("nopw", ""), AccountCheck::Member);
  EXPECT_EQ(check("nopw", "x"), AccountCheck::BadLogin);
}

TEST_F(AccountTest, KeysAreFoundWhateverTheirCase) {
  file("mixed", "PASSWORD=pw\r\nICON=9.gif\r\ndisabled=No\r\n");
  std::string icon = "1.gif";
  EXPECT_EQ(check("mixed", "pw", icon), AccountCheck::Member);
  EXPECT_EQ(icon, "9.gif");
}

struct DisabledCase {
  const char* value;
  AccountCheck expected;
};

class Disabled : public AccountTest, public ::testing::WithParamInterface<DisabledCase> {};

TEST_P(Disabled, OnlyExactlyNoIsEnabled) {
  file("d", std::string("password=pw\r\nDisabled=") + GetParam().value + "\r\n");
  EXPECT_EQ(check("d", "pw"), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(Values, Disabled,
                         ::testing::Values(DisabledCase{"No", AccountCheck::Member},
                                           DisabledCase{"no", AccountCheck::Disabled},
                                           DisabledCase{"NO", AccountCheck::Disabled},
                                           DisabledCase{"Yes", AccountCheck::Disabled},
                                           DisabledCase{"", AccountCheck::Disabled},
                                           DisabledCase{"0", AccountCheck::Disabled}));

struct IconCase {
  const char* lines;
  const char* expected;
};

class Icon : public AccountTest, public ::testing::WithParamInterface<IconCase> {};

TEST_P(Icon, Rules) {
  file("m", std::string("password=pw\r\n") + GetParam().lines);
  std::string icon = "5.gif";
  ASSERT_EQ(check("m", "pw", icon), AccountCheck::Member);
  EXPECT_EQ(icon, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, Icon,
    ::testing::Values(IconCase{"Icon=7.gif\r\nsex=1\r\n", "7.gif"},
                      IconCase{"sex=1\r\n", "1.gif"},
                      IconCase{"Icon=-1\r\nsex=0\r\n", "0.gif"},
                      IconCase{"Icon=-x\r\nSex=2\r\n", "2.gif"},
                      IconCase{"sex=-1\r\n", "5.gif"},
                      IconCase{"", "5.gif"},
                      IconCase{"Icon=abcdefghijabcdefghijabcdefghij-long.gif\r\n",
                               "abcdefghijabcdefghijabcdefghij-"},
                      // A stored picture that is no plain file name of
                      // images/ leaves the default picture.
                      IconCase{"Icon=x onerror=alert(1).gif\r\nsex=1\r\n", "5.gif"},
                      IconCase{"Icon=x>y.gif\r\n", "5.gif"},
                      IconCase{"Icon=../users/ann\r\n", "5.gif"},
                      IconCase{"Icon=.hidden.gif\r\n", "5.gif"},
                      IconCase{"Icon=\"a'b.gif\"\r\n", "5.gif"},
                      IconCase{"Icon=\r\n", "5.gif"},
                      IconCase{"sex=1 onerror=alert(1)\r\n", "5.gif"}));

TEST(PictureName, PlainFileNamesOnly) {
  for (const char* plain : {"1.gif", "my_pic-2.GIF", "a.b.gif", "x"})
    EXPECT_TRUE(picture_name_plain(plain)) << plain;
  for (const char* bad : {"", ".gif", "..gif", "a..gif", "a b.gif", "a/b.gif", "a\\b.gif", "a>b",
                          "a\"b", "a'b", "a=b", "a%20b", "a&b", "\x7f.gif", "caf\xc3\xa9.gif"})
    EXPECT_FALSE(picture_name_plain(bad)) << bad;
  EXPECT_TRUE(picture_name_plain(std::string(31, 'a')));
  EXPECT_FALSE(picture_name_plain(std::string(32, 'a')));
}

// One account regardless of letter case, as the system expects of its file
// names; the file keeps the spelling it was created with.
TEST_F(AccountTest, NamesAreFoundRegardlessOfCase) {
  file("Ann", "password=pw\r\nIcon=7.gif\r\n");
  for (const char* spelling : {"Ann", "ann", "ANN", "aNN"}) {
    std::string icon;
    EXPECT_EQ(check(spelling, "pw", icon), AccountCheck::Member) << spelling;
    EXPECT_EQ(icon, "7.gif");
    EXPECT_EQ(check(spelling, ""), AccountCheck::BadLogin) << spelling;  // no guest of that name
    EXPECT_TRUE(account_exists(folder.path(), spelling)) << spelling;
    EXPECT_EQ(find_account_path(folder.path(), spelling), folder.path() + "users/Ann");
  }
  EXPECT_EQ(find_account_path(folder.path(), "Anna"), "");
  // A change through another spelling rewrites the same file.
  ASSERT_TRUE(written(folder.path(), "ANN", AccountFields{"new", "1", "3.gif", "", ""}));
  EXPECT_FALSE(folder.exists("users/ANN"));
  EXPECT_EQ(check("ann", "new"), AccountCheck::Member);
  // A new account keeps its own spelling.
  ASSERT_TRUE(written(folder.path(), "BoB", AccountFields{"pw", "1", "3.gif", "", ""}));
  EXPECT_TRUE(folder.exists("users/BoB"));
  EXPECT_EQ(check("bob", "pw"), AccountCheck::Member);
}

TEST_F(AccountTest, TheExactSpellingWinsOverAnother) {
  file("ann", "password=lower\r\n");
  file("ANN", "password=upper\r\n");
  EXPECT_EQ(check("ann", "lower"), AccountCheck::Member);
  EXPECT_EQ(check("ANN", "upper"), AccountCheck::Member);
}

TEST_F(AccountTest, PictureUntouchedWhenNotAMember) {
  file("ann", "password=pw\r\nIcon=7.gif\r\n");
  std::string icon = "5.gif";
  EXPECT_EQ(check("ann", "bad", icon), AccountCheck::BadLogin);
  EXPECT_EQ(icon, "5.gif");
  file("off", "password=pw\r\nIcon=7.gif\r\nDisabled=Yes\r\n");
  EXPECT_EQ(check("off", "pw", icon), AccountCheck::Disabled);
  EXPECT_EQ(icon, "5.gif");
}

TEST_F(AccountTest, ValuesAreReadWith255Characters) {
  const std::string long_password(300, 'p');
  file("long", "password=" + long_password + "\r\n");
  EXPECT_EQ(check("long", long_password), AccountCheck::BadLogin);
  EXPECT_EQ(check("long", long_password.substr(0, 255)), AccountCheck::Member);
}

TEST_F(AccountTest, WebFormWritesItsFiveKeysInOrder) {
  AccountFields f{"pw", "1", "3.gif", "ann@example.com", "likes tea"};
  ASSERT_TRUE(written(folder.path(), "ann", f));
  EXPECT_TRUE(account_exists(folder.path(), "ann"));
  const std::string text = folder.read("users/ann");
  const std::size_t p = text.find("password=scrypt$"), s = text.find("sex=1"), i = text.find("Icon=3.gif"),
                    e = text.find("email=ann@example.com"), r = text.find("Profile=likes tea");
  ASSERT_NE(p, std::string::npos) << text;
  ASSERT_NE(r, std::string::npos) << text;
  EXPECT_LT(p, s);
  EXPECT_LT(s, i);
  EXPECT_LT(i, e);
  EXPECT_LT(e, r);
  EXPECT_EQ(text.find("Disabled"), std::string::npos);
  std::string icon;
  EXPECT_EQ(check("ann", "pw", icon), AccountCheck::Member);
  EXPECT_EQ(icon, "3.gif");
}

TEST_F(AccountTest, RewritingKeepsTheWindowsDisabledKey) {
  file("ann", "password=old\r\nDisabled=Yes\r\n");
  ASSERT_TRUE(written(folder.path(), "ann", AccountFields{"new", "0", "", "", ""}));
  EXPECT_EQ(check("ann", "new"), AccountCheck::Disabled);
  EXPECT_EQ(get_profile_string("main", "Disabled", "", 256, account_path(folder.path(), "ann")), "Yes");
}

// --- error paths ---

TEST_F(AccountTest, NamesThatWouldLeaveTheFolderTouchNothing) {
  folder.write("outside", "[main]\r\npassword=pw\r\n");
  for (const char* name : {"../outside", "..", "a/b", "", "x..y"}) {
    EXPECT_FALSE(account_name_safe(name)) << name;
    EXPECT_EQ(check(name, "pw"), AccountCheck::BadLogin) << name;
    EXPECT_EQ(check(name, ""), AccountCheck::BadLogin) << name;
    EXPECT_FALSE(written(folder.path(), name, AccountFields{"pw", "1", "", "", ""})) << name;
    EXPECT_FALSE(account_exists(folder.path(), name)) << name;
  }
  EXPECT_TRUE(account_name_safe("ann.lee"));
  EXPECT_EQ(folder.read("outside"), "[main]\r\npassword=pw\r\n");
}

// The account is replaced whole: no mix of old and new keys, and a failed
// write leaves the old file as it was.
TEST_F(AccountTest, AnAccountIsWrittenAsOneWholeFile) {
  file("ann", "password=old\r\nsex=0\r\nIcon=1.gif\r\nemail=a@b\r\nProfile=p\r\nDisabled=No\r\n");
  ASSERT_TRUE(written(folder.path(), "ann", AccountFields{"new", "1", "3.gif", "n@b", "q"}));
  const std::string hashed = stored_password(folder.path() + "users/ann");
  EXPECT_EQ(folder.read("users/ann"), "[main]\r\npassword=" + hashed +
                                          "\r\nsex=1\r\nIcon=3.gif\r\nemail=n@b\r\nProfile=q\r\nDisabled=No\r\n");
  // No temporary file stays behind.
  EXPECT_EQ(list_folder(folder.path() + "users/").size(), 2u);  // .keep and ann
}

TEST_F(AccountTest, WritingAnAccountThatIsAFolderFails) {
  folder.write("users/dir/inner", "x");
  EXPECT_FALSE(written(folder.path(), "dir", AccountFields{"pw", "1", "3.gif", "", ""}));
  EXPECT_TRUE(is_directory(folder.path() + "users/dir"));
  EXPECT_EQ(folder.read("users/dir/inner"), "x");
}

TEST_F(AccountTest, WriteFailsWithoutTheUsersFolder) {
  test::TempDir bare;
  EXPECT_FALSE(written(bare.path(), "ann", AccountFields{"pw", "1", "", "", ""}));
  EXPECT_FALSE(account_exists(bare.path(), "ann"));
  std::string icon;
  EXPECT_EQ(check_account(bare.path(), "ann", "", icon), AccountCheck::Guest);
}

// --- The Users page's operations ---

MemberValues member(const std::string& password, const std::string& icon = "3.gif",
                    bool disabled = false) {
  MemberValues v;
  v.password = password;
  v.sex = "1";
  v.icon = icon;
  v.email = "a@b";
  v.profile = "hi";
  v.disabled = disabled;
  return v;
}

// (The Users page test reads back a whole written account.)
TEST_F(AccountTest, AddRefusesAnyOtherSpellingAndWritesNoEmptyIcon) {
  file("ann", "password=pw\r\n");
  file("nopw", "sex=1\r\n");
  for (const char* taken : {"ANN", "Ann", "NoPw"})
    EXPECT_EQ(add_member(folder.path(), taken, member("x")), AccountChange::Exists) << taken;
  EXPECT_EQ(folder.read("users/ann"), "[main]\r\npassword=pw\r\n");
  EXPECT_EQ(add_member(folder.path(), "bob", member("pw", "", true)), AccountChange::Written);
  const std::string hashed = stored_password(folder.path() + "users/bob");
  EXPECT_EQ(folder.read("users/bob"), "[main]\r\npassword=" + hashed +
                                          "\r\nsex=1\r\nemail=a@b\r\nProfile=hi\r\nDisabled=Yes\r\n");
}

TEST_F(AccountTest, AddOfAnUnwritableNameLeavesNothing) {
  const std::string too_long(300, 'n');  // longer than a file name may be
  for (const std::string& name : {std::string("a/b"), std::string(".."), too_long})
    EXPECT_EQ(add_member(folder.path(), name, member("pw")), AccountChange::Failed) << name;
  EXPECT_TRUE(list_accounts(folder.path()).empty());
}

TEST_F(AccountTest, EditFindsTheAccountRegardlessOfCase) {
  const std::string too_long(300, 'n');
  struct Case {
    const char* old_name;
    const char* new_name;
    AccountChange result;
    const char* stored;      // the name afterwards ("" when unchanged)
    const char* ann_file;    // what users/ann holds afterwards ("" = gone)
    const char* other_file;  // what the new name's file holds ("" = none)
  } cases[] = {
      {"ann", "ann", AccountChange::Written, "ann", "new", ""},
      {"ann", "ANN", AccountChange::Written, "ann", "new", ""},    // case only
      {"ann", "anne", AccountChange::Written, "anne", "", "new"},  // rename
      {"ann", "Bob", AccountChange::Exists, "", "old", "bob"},     // onto bob
      {"ann", too_long.c_str(), AccountChange::Failed, "", "old", ""},
  };
  for (const Case& c : cases) {
    test::TempDir dir;
    dir.write("users/ann", "[main]\r\npassword=old\r\nDisabled=No\r\n");
    dir.write("users/bob", "[main]\r\npassword=bob\r\n");
    std::string stored;
    EXPECT_EQ(edit_member(dir.path(), c.old_name, c.new_name, member("new"), stored), c.result)
        << c.new_name;
    EXPECT_EQ(stored, c.stored) << c.new_name;
    std::string icon;
    auto holds = [&](const std::string& name, const std::string& password) {
      if (password.empty()) return !dir.exists("users/" + name);
      return check_account(dir.path(), name, password, icon) == AccountCheck::Member;
    };
    EXPECT_TRUE(holds("ann", c.ann_file)) << c.new_name;
    if (std::string(c.new_name) == "anne") {
      EXPECT_TRUE(holds("anne", c.other_file));
    }
    EXPECT_TRUE(holds("bob", "bob")) << c.new_name;
    EXPECT_FALSE(dir.exists("users/ANN"));
  }
}

TEST_F(AccountTest, DeleteRemovesOnlyAnAccountFile) {
  file("ann", "password=pw\r\n");
  folder.write("users/dir/inner", "x");
  EXPECT_TRUE(delete_member(folder.path(), "ANN"));
  EXPECT_FALSE(folder.exists("users/ann"));
  EXPECT_FALSE(delete_member(folder.path(), "ann"));
  EXPECT_FALSE(delete_member(folder.path(), "dir"));
  EXPECT_FALSE(delete_member(folder.path(), "../users/dir/inner"));
  EXPECT_TRUE(folder.exists("users/dir/inner"));
}

}  // namespace
}  // namespace tvl

namespace tvl {
namespace {

// --- Stored passwords, all-or-nothing writes, exclusive creation ---

TEST_F(AccountTest, PasswordsAreStoredHashedAndOldClearOnesConvertAtTheNextLogin) {
  ASSERT_TRUE(written(folder.path(), "ann", AccountFields{"s3cret", "1", "3.gif", "", ""}));
  const std::string path = folder.path() + "users/ann";
  const std::string hashed = stored_password(path);
  EXPECT_EQ(hashed.rfind("scrypt$16384$8$1$", 0), 0u) << hashed;
  EXPECT_EQ(folder.read("users/ann").find("s3cret"), std::string::npos);
  EXPECT_EQ(check("ann", "s3cret"), AccountCheck::Member);
  EXPECT_EQ(check("ann", hashed), AccountCheck::BadLogin);  // the stored form is no password
  EXPECT_EQ(check("ann", "s3creT"), AccountCheck::BadLogin);

  file("old", "password=clear\r\nDisabled=No\r\n");
  EXPECT_EQ(check("old", "wrong"), AccountCheck::BadLogin);
  EXPECT_EQ(stored_password(folder.path() + "users/old"), "clear");  // untouched by a failure
  EXPECT_EQ(check("old", "clear"), AccountCheck::Member);
  const std::string converted = stored_password(folder.path() + "users/old");
  EXPECT_EQ(converted.rfind("scrypt$", 0), 0u) << converted;
  EXPECT_EQ(check("old", "clear"), AccountCheck::Member);
  EXPECT_EQ(get_profile_string("main", "Disabled", "", 256, folder.path() + "users/old"), "No");
}

TEST_F(AccountTest, AnEmptyOrUnreadableAccountIsNeverAMemberWithoutPassword) {
  folder.write("users/empty", "");
  folder.write("users/locked", "[main]\r\npassword=pw\r\n");
  ASSERT_EQ(::chmod((folder.path() + "users/locked").c_str(), 0), 0);
  const bool can_read_anyway = ::access((folder.path() + "users/locked").c_str(), R_OK) == 0;  // root
  for (const char* name : {"empty", "locked"}) {
    if (std::string(name) == "locked" && can_read_anyway) continue;
    EXPECT_EQ(check(name, ""), AccountCheck::BadLogin) << name;
    EXPECT_EQ(check(name, "anything"), AccountCheck::BadLogin) << name;
    EXPECT_EQ(write_account(folder.path(), name, AccountFields{"mine", "1", "3.gif", "", ""}, true),
              AccountChange::Exists)
        << name;
    EXPECT_EQ(write_account(folder.path(), name, AccountFields{"mine", "1", "3.gif", "", ""}, false),
              AccountChange::Failed)
        << name;
    EXPECT_EQ(check(name, "mine"), AccountCheck::BadLogin) << name;
  }
  EXPECT_EQ(folder.read("users/empty"), "");
}

// A full disk, played by a file-size limit: every write that cannot be made
// whole leaves each old byte and no new file.
TEST_F(AccountTest, AWriteThatCannotBeMadeWholeKeepsEveryOldByte) {
  const std::string old_text = "[main]\r\npassword=old\r\nsex=0\r\nDisabled=No\r\n";
  file("ann", old_text.substr(8));
  MemberValues values = member("new");
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 64;  // the hashed password alone is longer
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const AccountChange change = write_account(folder.path(), "ann", AccountFields{"new", "1", "3.gif", "", ""}, false);
  const AccountChange create = write_account(folder.path(), "bob", AccountFields{"pw", "1", "3.gif", "", ""}, true);
  std::string stored;
  const AccountChange edit = edit_member(folder.path(), "ann", "ann", values, stored);
  const AccountChange rename = edit_member(folder.path(), "ann", "anne", values, stored);
  const AccountChange add = add_member(folder.path(), "carl", values);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
  for (AccountChange result : {change, create, edit, rename, add})
    EXPECT_EQ(result, AccountChange::Failed);
  EXPECT_EQ(folder.read("users/ann"), old_text);
  std::vector<std::string> left = list_folder(folder.path() + "users/");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".keep", "ann"}));
}

TEST_F(AccountTest, OfManyRacingCreatorsOfOneNameExactlyOneWins) {
  constexpr int kCreators = 8;
  const char* spellings[kCreators] = {"bob", "Bob", "BOB", "bOb", "bob", "boB", "BOb", "bob"};
  std::vector<AccountChange> results(kCreators);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCreators; ++i)
    threads.emplace_back([&, i] {
      results[i] = write_account(folder.path(), spellings[i],
                                 AccountFields{"pw" + std::to_string(i), "1", "3.gif", "", ""}, true);
    });
  for (std::thread& t : threads) t.join();
  int winner = -1, winners = 0;
  for (int i = 0; i < kCreators; ++i) {
    if (results[i] == AccountChange::Written) winner = i, ++winners;
    else EXPECT_EQ(results[i], AccountChange::Exists) << i;
  }
  ASSERT_EQ(winners, 1);
  EXPECT_EQ(check("bob", "pw" + std::to_string(winner)), AccountCheck::Member);
  EXPECT_EQ(list_folder(folder.path() + "users/").size(), 2u);  // .keep and the winner's file
}

TEST_F(AccountTest, LeftoversOfInterruptedWritesAreNeverAccountsAndGoAtStart) {
  file(".#ann.tmp-13954-0", "password=pw\r\n");
  file("ann", "password=pw\r\n");
  EXPECT_EQ(check(".#ann.tmp-13954-0", "pw"), AccountCheck::BadLogin);
  EXPECT_FALSE(account_name_safe(".#ann.tmp-13954-0"));
  std::vector<AccountListing> listed = list_accounts(folder.path());
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "ann");
  remove_account_leftovers(folder.path());
  EXPECT_FALSE(folder.exists("users/.#ann.tmp-13954-0"));
  EXPECT_TRUE(folder.exists("users/ann"));
}

TEST_F(AccountTest, AChangeWithAnEmptyPasswordKeepsTheStoredOne) {
  ASSERT_TRUE(written(folder.path(), "ann", AccountFields{"first", "1", "3.gif", "", "old"}));
  ASSERT_TRUE(written(folder.path(), "ann", AccountFields{"", "0", "3.gif", "", "new"}));
  EXPECT_EQ(check("ann", "first"), AccountCheck::Member);
  EXPECT_EQ(check("ann", ""), AccountCheck::BadLogin);
  EXPECT_EQ(get_profile_string("main", "Profile", "", 256, folder.path() + "users/ann"), "new");
}

TEST_F(AccountTest, EditWithAnEmptyPasswordKeepsTheStoredOne) {
  ASSERT_EQ(add_member(folder.path(), "ann", member("first")), AccountChange::Written);
  std::string stored;
  ASSERT_EQ(edit_member(folder.path(), "ann", "anna", member(""), stored), AccountChange::Written);
  EXPECT_EQ(check("anna", "first"), AccountCheck::Member);
  AccountListing read;
  ASSERT_TRUE(read_account(folder.path(), "ANNA", read));
  EXPECT_EQ(read.name, "anna");
  EXPECT_EQ(read.email, "a@b");
}

}  // namespace
}  // namespace tvl
