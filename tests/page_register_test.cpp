// register.ghp (the registration and change form) and the registration post.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"
#include "platform/fs.h"
#include "platform/profile.h"
#include "storage/account.h"
#include "storage/account_name.h"
#include "storage/password_hash.h"
#include "tests/support/expected_answers.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

const char kForm[] =
    "<!--$Register-->|<!--$Regbutton-->|<!--$reg-->|<!--$user-->|<!--$pass-->|<!--$email-->|"
    "<!--$profile-->|<!--$Icon-->|<!--$sex0-->,<!--$sex1-->,<!--$sex2-->";
const char* const kRefused = test::expected::kRefusedName;
const char kWrongPassword[] = "<BODY bgcolor=\"#EBEBD6\">Invalid username or password!</body>";
const char kRegistered[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Congratulations! Your Registration has been "
    "successful.</center></body>";
const char kChanged[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Congratulations! Your information has been changed "
    "successfully.</center></body>";
const char kExists[] = "<BODY bgcolor=\"#EBEBD6\"><center>This username already exist!</center></body>";

const char kReserved[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This username is reserved, please choose another "
    "username!</center></body>";
const char kOnline[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>This username is in the chat now, please choose another "
    "username!</center></body>";
const char kNotAllowed[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>New user registration is not allowed. Please contact the "
    "administrator.</center></BODY>";
const char kTooManyFailures[] =
    "<BODY bgcolor=\"#EBEBD6\">Too many failed logins, please try again in 5 minutes!</body>";
const char kTooManyAccounts[] =
    "<BODY bgcolor=\"#EBEBD6\"><center>Too many new accounts from your address, please try "
    "again later!</center></body>";

std::string repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

class RegisterTest : public ::testing::Test {
 protected:
  RegisterTest() : ctx{site, state, nullptr} {
    site.program_folder = folder.path();
    site.templates[T_REGISTER].set(kForm);
    make_directory(folder.path() + "users");
  }

  std::string form(const std::string& path) {
    std::string out;
    EXPECT_TRUE(page_register(ctx, "127.0.0.1", path, out));
    return out;
  }
  // A post as the browser sends it: request line, headers, body.
  std::string post(const std::string& body) {
    if (!is_regular_file(folder.path() + "images/5.gif"))
      folder.write("images/5.gif", "G");  // the picture the posts choose
    std::string out;
    registration_post(ctx, "127.0.0.1",
                      "POST /registresult.htm HTTP/1.1\r\nHost: x\r\nReferer: "
                      "http://x/register.ghp?username=zed&password=zz\r\n\r\n" + body,
                      out);
    return out;
  }
  static std::string body(const std::string& name, const std::string& password, const std::string& cw,
                          const std::string& old = "", const std::string& resume = "I+like+tea") {
    return "UserName=" + name + "&Password=" + password + "&Password1=" + password +
           "&Sex=1&Email=ann%40example.org&Icon=5.gif&Resume=" + resume + "&cw=" + cw + "&Old=" + old +
           "&submit1=Register";
  }
  std::string account(const std::string& name) { return folder.read("users/" + name); }
  bool logs_in(const std::string& name, const std::string& password) {
    std::string icon;
    return check_account(folder.path(), name, password, icon) == AccountCheck::Member;
  }
  std::string key(const std::string& name, const std::string& k) {
    return get_profile_string("main", k, "<none>", 256, folder.path() + "users/" + name);
  }
  void make_account(const std::string& name, const std::string& text) { folder.write("users/" + name, text); }

  test::TempDir folder;
  SiteData site;
  ChatState state;
  ChatContext ctx;
};

// --- register.ghp ---

TEST_F(RegisterTest, NewFormListsPictureFilesOnlyWithTheDefaults) {
  folder.write("images/1.gif", "G");
  folder.write("images/2.gif", "G");
  folder.write("images/notes.txt", "x");
  ASSERT_TRUE(make_directory(folder.path() + "images/x.gif"));
  const std::string page = form("/register.ghp");
  // The file system decides the order.
  const std::string a = "<option>1.gif</option><option>2.gif</option>";
  const std::string b = "<option>2.gif</option><option>1.gif</option>";
  EXPECT_TRUE(page == "Register|Register|1|||@||" + a + "|,,checked" ||
              page == "Register|Register|1|||@||" + b + "|,,checked")
      << page;
}

TEST_F(RegisterTest, RegistrationSwitchedOffRefusesOnlyTheNewForm) {
  site.settings.allow_registration = false;
  EXPECT_EQ(form("/register.ghp"),
            "<BODY bgcolor=\"#EBEBD6\"><center>New user registration is not allowed. Please contact the "
            "administrator.</center></BODY>");
  make_account("bob", "[main]\r\npassword=pw\r\n");
  EXPECT_EQ(form("/register.ghp?username=bob&password=pw"), "Change Information|Change|0|bob|||||,,checked");
}

TEST_F(RegisterTest, ChangeFormIsFilledFromTheAccount) {
  folder.write("images/3.gif", "G");
  make_account("ann", "[main]\r\npassword=secret\r\nsex=1\r\nIcon=3.GIF\r\nemail=a@b.c\r\nProfile=hi there\r\n");
  EXPECT_EQ(form("/register.ghp?username=ann&password=secret"),
            "Change Information|Change|0|ann||a@b.c|hi there|<option selected>3.gif</option>|,checked,");
}

struct SexCase {
  const char* stored;
  const char* markers;
};

class RegisterSexTest : public RegisterTest, public ::testing::WithParamInterface<SexCase> {};

TEST_P(RegisterSexTest, OnlyTheStoredSexIsChecked) {
  std::string text = "[main]\r\npassword=pw\r\n";
  if (*GetParam().stored) text += std::string("sex=") + GetParam().stored + "\r\n";
  make_account("bob", text);
  const std::string page = form("/register.ghp?username=bob&password=pw");
  EXPECT_EQ(page.substr(page.rfind('|') + 1), GetParam().markers);
}

INSTANTIATE_TEST_SUITE_P(Values, RegisterSexTest,
                         ::testing::Values(SexCase{"0", "checked,,"}, SexCase{"1", ",checked,"},
                                           SexCase{"2", ",,checked"}, SexCase{"", ",,checked"},
                                           SexCase{"7", "<!--$sex0-->,<!--$sex1-->,<!--$sex2-->"}));

// --- the registration post ---

TEST_F(RegisterTest, NewRegistrationWritesTheKeysInOrder) {
  EXPECT_EQ(post(body("ann", "se%26cret", "1")), kRegistered);
  const std::string hashed = key("ann", "password");
  EXPECT_EQ(hashed.rfind("scrypt$", 0), 0u) << hashed;
  EXPECT_EQ(account("ann"), "[main]\r\npassword=" + hashed +
                                "\r\nsex=1\r\nIcon=5.gif\r\nemail=ann@example.org\r\nProfile=I like tea\r\n");
  EXPECT_TRUE(logs_in("ann", "se&cret"));
}

TEST_F(RegisterTest, ExistingNameIsNotRegisteredAgain) {
  make_account("ann", "[main]\r\npassword=old\r\n");
  EXPECT_EQ(post(body("ann", "new", "1")), kExists);
  EXPECT_EQ(account("ann"), "[main]\r\npassword=old\r\n");
}

TEST_F(RegisterTest, ChangeForANameWithoutFileCreatesIt) {
  EXPECT_EQ(post(body("newbie", "pw", "0")), kChanged);
  EXPECT_TRUE(logs_in("newbie", "pw"));
  EXPECT_EQ(key("newbie", "Icon"), "5.gif");
}

TEST_F(RegisterTest, ChangeWithTheOldPasswordRewritesAndKeepsOtherKeys) {
  make_account("ann", "[main]\r\npassword=old\r\nDisabled=Yes\r\nsex=0\r\n");
  EXPECT_EQ(post(body("ann", "new", "0", "old")), kChanged);
  EXPECT_TRUE(account_password_matches(folder.path() + "users/ann", "new"));
  EXPECT_EQ(key("ann", "sex"), "1");
  EXPECT_EQ(key("ann", "Disabled"), "Yes");
}

TEST_F(RegisterTest, ProfileLineBreaksDoNotBreakTheAccountFile) {
  EXPECT_EQ(post(body("ann", "pw", "1", "", "one%0D%0Atwo%0Athree=x")), kRegistered);
  EXPECT_EQ(key("ann", "Profile"), "one  two three=x");
  EXPECT_EQ(key("ann", "three"), "<none>");
}

TEST_F(RegisterTest, RegisteredMemberGetsThePictureAtLogin) {
  post(body("ann", "pw", "1"));
  std::string icon = "1.gif";
  EXPECT_EQ(check_account(folder.path(), "ann", "pw", icon), AccountCheck::Member);
  EXPECT_EQ(icon, "5.gif");
}

// --- error paths ---

// A missing name is answered as a wrong password is (and counted like one),
// so the form tells nobody which names have accounts.
TEST_F(RegisterTest, ChangeFormForAnUnknownName) {
  make_account("bob", "[main]\r\npassword=pw\r\n");
  site.settings.max_failed_logins = 3;
  EXPECT_EQ(form("/register.ghp?username=bob&password=guess"), kWrongPassword);
  EXPECT_EQ(form("/register.ghp?username=ghost&password="), kWrongPassword);
  EXPECT_EQ(form("/register.ghp?username=ghost&password=pw"), kWrongPassword);
  EXPECT_NE(form("/register.ghp?username=ghost&password=x").find("Too many failed logins"),
            std::string::npos);
}

// One hash per proof checked, for a missing name as for a wrong password,
// with or without escapes, through the form and the change post alike.
TEST_F(RegisterTest, EveryProofCostsOneHash) {
  site.settings.max_failed_logins = 0;
  std::string stored;
  ASSERT_TRUE(hash_password("pw", stored));
  make_account("bob", "[main]\r\npassword=" + stored + "\r\n");
  for (const std::string proof : {"guess", "gu%25ess%2B", "p%77"}) {
    const bool right = proof == "p%77";
    for (const std::string name : {"bob", "ghost"}) {
      const unsigned long long before = password_derivations();
      const std::string answer = form("/register.ghp?username=" + name + "&password=" + proof);
      EXPECT_EQ(password_derivations() - before, 1u) << name << " " << proof;
      if (!right || name == "ghost") {
        EXPECT_EQ(answer, kWrongPassword) << name << " " << proof;
      }
    }
    // A change that keeps the password checks its proof once.
    const unsigned long long before = password_derivations();
    EXPECT_EQ(post(body("bob", "", "0", proof)), right ? kChanged : kWrongPassword) << proof;
    EXPECT_EQ(password_derivations() - before, 1u) << proof;
  }
}

// The key of the member's place opens the change form and changes the
// profile; a new password needs the current one.
TEST_F(RegisterTest, AKeyAloneSetsNoNewPassword) {
  make_account("ann", "[main]\r\npassword=old\r\n");
  {
    ChatState::Hold hold(state);
    OnlineUser place;
    std::strcpy(place.name, "ann");
    place.room = 1;
    place.member = true;
    place.key = "0123456789abcdef0123456789abcdef";
    place.name_fold = "ann";
    place.skeleton = account_name_skeleton("ann");
    ASSERT_TRUE(state.add_user(place));
  }
  const std::string place_key = "0123456789abcdef0123456789abcdef";
  EXPECT_NE(form("/register.ghp?username=ann&password=" + place_key).find("Change Information"), std::string::npos);
  EXPECT_NE(post(body("ann", "mine", "0", place_key)).find("A new password needs your current password"),
            std::string::npos);
  EXPECT_TRUE(logs_in("ann", "old"));
  EXPECT_EQ(post(body("ann", "", "0", place_key, "new+words")), kChanged);
  EXPECT_EQ(key("ann", "Profile"), "new words");
  EXPECT_EQ(post(body("ann", "mine", "0", "old")), kChanged);
  EXPECT_TRUE(logs_in("ann", "mine"));
}

// The change form carries its proof on as the member typed it, so that the
// browser's encoding of the post gives back the same password, and shows the
// field for the current password only when a place's key opened it.
TEST_F(RegisterTest, TheChangeFormCarriesItsProofOnAsTyped) {
  site.templates[T_REGISTER].set("<!--$old-->|<!--$current-->|<!--$user-->");
  make_account("amp", "[main]\r\npassword=a&b c%d\xC3\xA9\r\n");
  EXPECT_EQ(form("/register.ghp?username=amp&password=a%26b+c%25d%C3%A9"), "a&amp;b c%d\xC3\xA9|hidden|amp");
  // The page posts it back encoded the way browsers encode form fields.
  EXPECT_EQ(post(body("amp", "", "0", "a%26b+c%25d%C3%A9", "more+tea")), kChanged);
  EXPECT_EQ(key("amp", "Profile"), "more tea");
  {
    ChatState::Hold hold(state);
    OnlineUser place;
    std::strcpy(place.name, "amp");
    place.room = 1;
    place.member = true;
    place.key = "00112233445566778899aabbccddeeff";
    place.name_fold = "amp";
    place.skeleton = account_name_skeleton("amp");
    ASSERT_TRUE(state.add_user(place));
  }
  EXPECT_EQ(form("/register.ghp?username=amp&password=00112233445566778899aabbccddeeff"),
            "00112233445566778899aabbccddeeff||amp");
  EXPECT_EQ(form("/register.ghp"), "|hidden|");
}

// The form shows the stored password, so only to whoever knows it.
TEST_F(RegisterTest, ChangeFormNeedsTheAccountsPassword) {
  make_account("bob", "[main]\r\npassword=pw\r\n");
  EXPECT_EQ(form("/register.ghp?username=bob&password="), kWrongPassword);
  EXPECT_EQ(form("/register.ghp?username=bob&password=PW"), kWrongPassword);
  make_account("amp", "[main]\r\npassword=a&b\r\n");
  EXPECT_NE(form("/register.ghp?username=amp&password=a%26b").find("Change Information|Change|0|amp|"),
            std::string::npos);
}

TEST_F(RegisterTest, ChangePostNeedsTheOldPassword) {
  make_account("ann", "[main]\r\npassword=old\r\n");
  EXPECT_EQ(post(body("ann", "mine", "0", "guess")), kWrongPassword);
  EXPECT_EQ(post(body("ann", "mine", "0")), kWrongPassword);
  EXPECT_EQ(account("ann"), "[main]\r\npassword=old\r\n");
}

TEST_F(RegisterTest, RefusedNamesReadAndWriteNoFile) {
  // Files a refused name could reach, if it were used.
  folder.write("secret", "[main]\r\npassword=pw\r\n");
  folder.write("users/a b", "[main]\r\npassword=pw\r\n");
  const char* names[] = {"..%2Fsecret", "..", "a%2Fb", "a%5Cb", "%3Cb%3Ex", "x%22y", "x%27y", "a%0Ab", ""};
  for (const char* name : names) {
    EXPECT_EQ(post(body(name, "pw", "1")), kRefused) << name;
    EXPECT_EQ(post(body(name, "pw", "0", "pw")), kRefused) << name;
    if (*name) {
      EXPECT_EQ(form(std::string("/register.ghp?username=") + name + "&password=pw"), kRefused) << name;
    }
  }
  EXPECT_EQ(folder.read("secret"), "[main]\r\npassword=pw\r\n");
  // Only the two files written above exist.
  std::vector<std::string> users = find_files(folder.path() + "users/*");
  EXPECT_EQ(users, std::vector<std::string>{"a b"});
  EXPECT_EQ(find_files(folder.path() + "*"), std::vector<std::string>{"secret"});
}

// "ANN" is the member "ann": no second account, no change without ann's
// password, and the change form shows ann's account.
TEST_F(RegisterTest, AccountsAreOneRegardlessOfCase) {
  make_account("ann", "[main]\r\npassword=old\r\nemail=a@b\r\n");
  EXPECT_EQ(post(body("ANN", "mine", "1")), kExists);
  EXPECT_EQ(post(body("Ann", "mine", "0", "guess")), kWrongPassword);
  EXPECT_FALSE(folder.exists("users/ANN"));
  EXPECT_FALSE(folder.exists("users/Ann"));
  EXPECT_NE(form("/register.ghp?username=ANN&password=old").find("|a@b|"), std::string::npos);
  EXPECT_EQ(post(body("aNN", "mine", "0", "old")), kChanged);
  EXPECT_TRUE(logs_in("ann", "mine"));
  EXPECT_FALSE(folder.exists("users/aNN"));
}

// Pictures stand in every user list as src=/images/<name>: only a file of
// images/ with a plain name is taken.
TEST_F(RegisterTest, OnlyAPictureOfTheListIsTaken) {
  const char kBadPicture[] =
      "<BODY bgcolor=\"#EBEBD6\"><center>Please choose one of the pictures of the "
      "list!</center></body>";
  folder.write("images/5.gif", "G");
  for (const char* icon : {"x%20onerror%3Dalert(1)", "x+onerror=alert(1)", "..%2Fusers%2Fann",
                           "nothere.gif", "", "%22%3E%3Cscript%3E"}) {
    std::string b = body("ann", "pw", "1");
    b.replace(b.find("&Icon=5.gif"), 11, std::string("&Icon=") + icon);
    EXPECT_EQ(post(b), kBadPicture) << icon;
    EXPECT_FALSE(folder.exists("users/ann")) << icon;
  }
  // The sex becomes a picture name at login: only 0, 1 and 2 are kept.
  std::string b = body("ann", "pw", "1");
  b.replace(b.find("&Sex=1"), 6, "&Sex=1 onerror=alert(1)");
  EXPECT_EQ(post(b), kRegistered);
  EXPECT_EQ(key("ann", "sex"), "2");
}

// A registration or change that could not be written says so.
TEST_F(RegisterTest, AFailedWriteIsNoSuccess) {
  const char kNotSaved[] =
      "<BODY bgcolor=\"#EBEBD6\"><center>Sorry, your information could not be saved. Please "
      "try again later or contact the administrator.</center></body>";
  folder.write("users/dir/inner", "x");  // a folder in the accounts' place: nothing proves it
  EXPECT_EQ(post(body("dir", "pw", "0")), kWrongPassword);
  EXPECT_EQ(folder.read("users/dir/inner"), "x");
  test::TempDir bare;  // no users/ folder at all
  site.program_folder = bare.path();
  bare.write("images/5.gif", "G");
  EXPECT_EQ(post(body("ann", "pw", "1")), kNotSaved);
  EXPECT_EQ(post(body("ann", "pw", "0")), kNotSaved);
  EXPECT_FALSE(is_regular_file(bare.path() + "users/ann"));
}

TEST_F(RegisterTest, PostWithoutNameOrPasswordAnswersNothing) {
  EXPECT_EQ(post("Password=x&Password1=x&cw=1&submit1=x"), "");
  EXPECT_EQ(post("UserName=ann&Password1=x&cw=1&submit1=x"), "");
  EXPECT_FALSE(folder.exists("users/ann"));
}

// --- who may register what ---

TEST_F(RegisterTest, NewAccountsAreRefusedForTakenReservedAndOnlineNames) {
  RoomInfo lobby{};
  std::strcpy(lobby.name, "Lobby");
  std::strcpy(lobby.admin, "admin;Joanna");
  lobby.guest = true;
  state.replace_rooms({lobby});
  make_account("ann", "[main]\r\npassword=pw\r\n");
  {
    ChatState::Hold hold(state);
    OnlineUser guest;
    std::strcpy(guest.name, "gus");
    guest.room = 1;
    guest.name_fold = "gus";
    guest.skeleton = account_name_skeleton("gus");
    ASSERT_TRUE(state.add_user(guest));
  }
  struct Case {
    const char* name;  // form-encoded
    const char* expected;
  } cases[] = {
      {"admin", kReserved},
      {"ADMIN", kReserved},
      {"%D0%B0dmin", kReserved},  // Cyrillic "a"
      {"joanna", kReserved},
      {"%D0%B0nn", kExists},      // looks like the member ann
      {"gus", kOnline},
      {"GUS", kOnline},
      {"ad%E2%80%8Bmin", kRefused},
      {"emile", kRegistered},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(post(body(c.name, "pw", "1")), c.expected) << c.name;
  }
  std::vector<std::string> users = find_files(folder.path() + "users/*");
  std::sort(users.begin(), users.end());
  EXPECT_EQ(users, (std::vector<std::string>{"ann", "emile"}));
}

TEST_F(RegisterTest, ClosedRegistrationRefusesNewAccountsByPostToo) {
  site.settings.allow_registration = false;
  make_account("ann", "[main]\r\npassword=old\r\n");
  EXPECT_EQ(post(body("zed", "pw", "1")), kNotAllowed);
  EXPECT_EQ(post(body("zed", "pw", "0")), kNotAllowed);  // a "change" of nobody is new
  EXPECT_FALSE(folder.exists("users/zed"));
  EXPECT_EQ(post(body("ann", "new", "0", "old")), kChanged);  // changes keep working
}

TEST_F(RegisterTest, FieldsLongerThanTheFormAllowsAreRefusedByName) {
  struct Case {
    std::string password, email, profile;
    const char* field;  // named in the answer; nullptr: accepted
  } cases[] = {
      {std::string(61, 'p'), "a", "b", "Password"},
      {"pw", std::string(121, 'e'), "b", "E-mail"},
      {"pw", "a", std::string(251, 'r'), "About me"},
      {std::string(60, 'p'), std::string(120, 'e'), std::string(250, 'r'), nullptr},
      // Characters, not bytes: 250 "é" are 500 bytes.
      {"pw", "a", repeat("%C3%A9", 250), nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "user" + std::to_string(n++);
    std::string b = "UserName=" + name + "&Password=" + c.password + "&Password1=" + c.password +
                    "&Sex=1&Email=" + c.email + "&Icon=5.gif&Resume=" + c.profile + "&cw=1&Old=&submit1=R";
    const std::string answer = post(b);
    if (c.field) {
      EXPECT_NE(answer.find(std::string("\"") + c.field + "\" is too long"), std::string::npos) << answer;
      EXPECT_FALSE(folder.exists("users/" + name));
    } else {
      EXPECT_EQ(answer, kRegistered);
    }
  }
}

TEST_F(RegisterTest, NewAccountsAreBoundedPerAddress) {
  site.settings.max_registrations_per_hour = 2;
  EXPECT_EQ(post(body("one", "pw", "1")), kRegistered);
  EXPECT_EQ(post(body("two", "pw", "1")), kRegistered);
  EXPECT_EQ(post(body("three", "pw", "1")), kTooManyAccounts);
  EXPECT_FALSE(folder.exists("users/three"));
  std::string out;
  registration_post(ctx, "10.1.1.1", "POST /registresult.htm HTTP/1.1\r\nHost: x\r\n\r\n" + body("three", "pw", "1"), out);
  EXPECT_EQ(out, kRegistered);
  // Changes are no new accounts.
  EXPECT_EQ(post(body("one", "new", "0", "pw")), kChanged);
}

TEST_F(RegisterTest, PostsFromAnotherSiteChangeNothing) {
  make_account("ann", "[main]\r\npassword=old\r\n");
  folder.write("images/5.gif", "G");
  for (const char* from : {"Origin: http://evil.example\r\n", "Referer: http://evil.example/x.html\r\n",
                           "Origin: null\r\n"}) {
    for (const std::string& b : {body("zed", "pw", "1"), body("ann", "new", "0", "old")}) {
      std::string out;
      registration_post(ctx, "127.0.0.1", std::string("POST /registresult.htm HTTP/1.1\r\nHost: x\r\n") + from + "\r\n" + b, out);
      EXPECT_EQ(out.find("Congratulations"), std::string::npos) << from << out;
    }
  }
  EXPECT_FALSE(folder.exists("users/zed"));
  EXPECT_EQ(account("ann"), "[main]\r\npassword=old\r\n");
  std::string out;
  registration_post(ctx, "127.0.0.1", "POST /registresult.htm HTTP/1.1\r\nHost: x\r\nOrigin: http://x\r\n\r\n" + body("zed", "pw", "1"), out);
  EXPECT_EQ(out, kRegistered);
}

// The start page posts name and password for the change form; wrong ones
// count against the bound of failed logins.
TEST_F(RegisterTest, TheChangeFormComesByPostAndWrongPasswordsAreBounded) {
  site.settings.max_failed_logins = 2;
  make_account("ann", "[main]\r\npassword=old\r\nemail=a@b\r\n");
  auto change_form = [&](const std::string& password) {
    std::string out;
    registration_post(ctx, "127.0.0.1",
                      "POST /registresult.htm?change HTTP/1.1\r\nHost: x\r\nOrigin: http://x\r\n\r\n"
                      "UserName=ann&Password=" + password,
                      out);
    return out;
  };
  EXPECT_EQ(change_form("old"), "Change Information|Change|0|ann||a@b|||,,checked");
  EXPECT_EQ(change_form("x"), kWrongPassword);
  EXPECT_EQ(form("/register.ghp?username=ann&password=y"), kWrongPassword);
  EXPECT_EQ(change_form("old"), kTooManyFailures);
  EXPECT_EQ(post(body("ann", "new", "0", "old")), kTooManyFailures);
}

}  // namespace
}  // namespace tvl
