// Every place a request value or a stored value is copied into a page,
// tried with the usual attack strings: the value never leaves its place.
// The rules themselves are tested in page_escape_test; here each place is
// checked to use one.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "chat/chat_pages.h"
#include "tests/support/chat_fixture.h"

namespace tvl {
namespace {

using test::ChatFixture;
using test::PostForm;

// Attacks that break out of an attribute, a tag, a script string or a
// javascript: link when copied raw. None has a blank (the request line
// would end there), so each can stand in an address as it is.
const std::vector<std::string> kBreakouts = {
    "\"><x-pwn>",         "'><x-pwn>",          "\"onmouseover=\"x_pwn()",
    "');x_pwn();//",      "\\');x_pwn();//",    "</script><x-pwn>",
    "\";x_pwn();//",      "<!--$msg--><x-pwn>", "<img/src=x/onerror=x_pwn()>",
};

class Places : public ChatFixture {
 protected:
  Places() {
    ctx.first_poll_delay_ms = 0;
    const std::string identity = "<a href=\"x?u=<!--$user-->&p=<!--$pass-->&r=<!--$room-->\">"
                                 "<script>var i=\"<!--$user-->|<!--$pass-->|<!--$room-->\";</script>"
                                 "<a href=x?u=<!--$user-->&p=<!--$pass-->&r=<!--$room-->>";
    site.templates[T_CHAT].set(identity);
    site.templates[T_CHATSUBMIT].set(identity);
    site.templates[T_BODY].set(identity + "<script><!--$msg--></script>");
    site.templates[T_USERS].set("<b><!--roomname--></b><!--users-->" + identity);
    site.templates[T_AD].set("<span><!--roomname--></span>");
    site.templates[T_FINDRESULT].set("<div><!--$Find--></div>");
    site.templates[T_REGISTER].set(
        "<input value=\"<!--$user-->\"><input value='<!--$pass-->'><input value=\"<!--$email-->\">"
        "<textarea><!--$profile--></textarea><select><!--$Icon--></select>");
  }

  // An attack as a browser would carry it in an address.
  static std::string address_form(const std::string& attack) { return encode(attack); }

  // The text of the page's tags, from each "<" to the next ">".
  static std::string tags_of(const std::string& page) {
    std::string tags;
    for (std::size_t at = page.find('<'); at != std::string::npos; at = page.find('<', at + 1))
      tags += page.substr(at, page.find('>', at) - at + 1);
    return tags;
  }

  // An attack holding a character that ends a tag, an attribute or a string
  // must not stand in the page as typed; no other may stand inside a tag,
  // where a blank would start an attribute.
  static void expect_kept_in_place(const std::string& page, const std::string& attack,
                                   const std::string& where) {
    // A blank inside a double-quoted value starts nothing (a quote in the
    // attack is caught on the whole page); everywhere else in a tag it would.
    const std::string outside_quotes =
        std::regex_replace(tags_of(page), std::regex("\"[^\"<>]*\""), "\"\"");
    const bool breaks = attack.find_first_of("<>\"'\\") != std::string::npos;
    EXPECT_EQ((breaks ? page : outside_quotes).find(attack), std::string::npos) << where << ": " << page;
    EXPECT_EQ(page.find("<x-pwn"), std::string::npos) << where << ": " << page;
    for (const char* handler : {" onmouseover", "\tonmouseover", " onerror"})
      EXPECT_EQ(outside_quotes.find(handler), std::string::npos) << where << ": " << page;
  }

  std::string get(bool (*handler)(ChatContext&, const std::string&, std::string&),
                  const std::string& path) {
    std::string out;
    handler(ctx, path, out);
    return out;
  }
  std::string reg(const std::string& path) {
    std::string out;
    page_register(ctx, "10.0.0.7", path, out);
    return out;
  }
};

TEST_F(Places, RequestValuesOfTheChatWindowsPages) {
  for (const std::string& attack : kBreakouts) {
    SCOPED_TRACE(attack);
    // The room text of chat.ghp runs to "&sex="; the number is still 1.
    std::string out;
    page_chat(ctx, "ip", "/chat.ghp?username=ann&password=&room=1" + attack + "&sex=1", out);
    ASSERT_EQ(out.find("This username"), std::string::npos) << out;
    expect_kept_in_place(out, attack, "chat.ghp room");
    const std::string key = user("ann", 1).key;
    // The input form, the user list and the stream carry all three values.
    for (const std::string& query :
         {"?username=ann&password=" + attack + "&room=1" + attack,
          "?username=" + address_form("x") + "&password=" + key + "&room=1" + attack}) {
      expect_kept_in_place(get(page_chatsubmit, "/chatsubmit.ghp" + query), attack, "chatsubmit.ghp");
      expect_kept_in_place(get(page_users, "/users.ghp" + query), attack, "users.ghp");
    }
    // The post's answer: its password and room text.
    std::string answer;
    chat_post(ctx, "ip",
              post_request("?username=ann&password=" + key + "&room=1" + attack, PostForm{}), answer);
    ASSERT_NE(answer.find("<script>"), std::string::npos) << answer;
    expect_kept_in_place(answer, attack, "post answer");
    std::string leave;
    page_exit(ctx, "ip", "/exit.ghp?username=ann&password=" + key + "&room=1", leave);
  }
}

TEST_F(Places, AMembersPasswordInEveryPageThatCarriesIt) {
  for (const std::string& attack : kBreakouts) {
    SCOPED_TRACE(attack);
    member("mem", attack);
    const std::string page = join("mem", 1, attack);
    ASSERT_NE(page.find("href"), std::string::npos) << page;
    expect_kept_in_place(page, attack, "chat.ghp");
    // The stream's user-list reload statement carries the key.
    const std::string stream = poll("mem", 1);
    ASSERT_NE(stream.find("users.ghp"), std::string::npos) << stream;
    expect_kept_in_place(stream, attack, "body.ghp");
    // And the change form shows it.
    expect_kept_in_place(reg("/register.ghp?username=mem&password=" +
                                                address_form(attack)),
                         attack, "register.ghp");
    std::string leave;
    page_exit(ctx, "ip", "/exit.ghp?username=mem&password=" + key_of("mem", 1) + "&room=1", leave);
    ASSERT_EQ(online(), 0);
  }
}

TEST_F(Places, TheAddresseeInTheLineAndInTheCommands) {
  join("ann", 1);
  member("bob", "pw");
  state.replace_rooms({test::room_info("Lobby", true, false, "bob")});
  join("ann", 1);
  join("bob", 1, "pw");
  // Addressees the name rule lets through still cannot leave their place:
  // a blank ends the chat line's unquoted link.
  for (const std::string to : {"x onmouseover=x_pwn() y", "x\tonmouseover=x_pwn()", "x>y=<x-pwn z",
                               "a);x_pwn();//", "x%27);x_pwn();//", "&#39;);x_pwn()//"}) {
    SCOPED_TRACE(to);
    post("ann", 1, PostForm{.message = "hi", .to = to});
    const std::string line = kept(1).back();
    if (line.find("hi") != std::string::npos) expect_kept_in_place(line, to, "chat line");
    // The ban notice names the addressee.
    post("bob", 1, PostForm{.message = "", .to = to, .command = 1});
    expect_kept_in_place(kept(1).back(), to, "ban line");
  }
}

TEST_F(Places, StoredValuesOfTheAccountInTheChangeFormAndTheUserList) {
  for (const std::string& attack : kBreakouts) {
    SCOPED_TRACE(attack);
    folder.write("users/mem", "[main]\r\npassword=pw\r\nemail=" + attack + "\r\nProfile=" + attack +
                                  "\r\nIcon=" + attack + "\r\nsex=1 onerror=x_pwn()\r\n");
    expect_kept_in_place(reg("/register.ghp?username=mem&password=pw"), attack,
                         "change form");
    join("mem", 1, "pw");
    // A stored picture that is no plain file name falls back to the default.
    EXPECT_STREQ(user("mem", 1).icon, "1.gif");
    const std::string list = get(page_users, "/users.ghp?username=x&password=&room=1");
    expect_kept_in_place(list, attack, "user list");
    EXPECT_EQ(list.find("onerror"), std::string::npos) << list;
    std::string leave;
    page_exit(ctx, "ip", "/exit.ghp?username=mem&password=" + key_of("mem", 1) + "&room=1", leave);
  }
}

TEST_F(Places, RoomNamesAndTheSearchedName) {
  for (const std::string& attack : kBreakouts) {
    SCOPED_TRACE(attack);
    state.replace_rooms({test::room_info(attack.c_str(), true, false, attack.c_str())});
    join("ann", 1);
    expect_kept_in_place(get(page_ad, "/ad.ghp?room=1"), attack, "ad.ghp");
    expect_kept_in_place(get(page_users, "/users.ghp?username=ann&password=&room=1"), attack,
                         "users.ghp");
    const std::string found = get(page_finduser, "/finduser.ghp?username=ann");
    ASSERT_NE(found.find("is in"), std::string::npos) << found;
    expect_kept_in_place(found, attack, "finduser.ghp");
    expect_kept_in_place(get(page_finduser, "/finduser.ghp?username=" + attack), attack,
                         "finduser.ghp name");
  }
}

TEST_F(Places, NamesWhoseDecodedFormDiffersAreShownInTheFormThatWasChecked) {
  // "+" and "%20" decode to blanks: the name stands in the join line and
  // the user list as it does in the address, its blanks never raw in a link.
  for (const std::string name : {"a+onmouseover=x_pwn()+b", "a%20onmouseover%3Dx_pwn()%20b"}) {
    SCOPED_TRACE(name);
    join(name, 1);
    ASSERT_EQ(user(name, 1).room, 1);
    expect_kept_in_place(kept(1).back(), "onmouseover=x_pwn()", "join line");
    expect_kept_in_place(get(page_users, "/users.ghp?username=x&password=&room=1"),
                         "onmouseover=x_pwn()", "user list");
    const std::string answer = post(name, 1, PostForm{.message = "hello"});
    EXPECT_NE(answer.find("hello"), std::string::npos) << answer;
    expect_kept_in_place(kept(1).back(), "onmouseover=x_pwn()", "chat line");
  }
}

TEST_F(Places, PicturesOnlyWithPlainNames) {
  folder.write("images/1.gif", "G");
  folder.write("images/x onerror=x_pwn().gif", "G");
  site.templates[T_PREVIEWICONS].set("<!--$Icon-->");
  const std::string table = get(page_previewicons, "/previewicons.ghp");
  EXPECT_NE(table.find("images/1.gif"), std::string::npos) << table;
  EXPECT_EQ(table.find("onerror"), std::string::npos) << table;
  const std::string form = reg("/register.ghp");
  EXPECT_NE(form.find("<option>1.gif</option>"), std::string::npos) << form;
  EXPECT_EQ(form.find("onerror"), std::string::npos) << form;
}

}  // namespace
}  // namespace tvl
