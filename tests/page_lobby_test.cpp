// index.ghp (rooms and counts for the start page), ad.ghp, finduser.ghp and
// previewicons.ghp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chat/chat_pages.h"
#include "chat/chat_state.h"
#include "platform/fs.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

using test::count_of;

RoomInfo room(const char* name, const char* admin) {
  RoomInfo r;
  std::snprintf(r.name, sizeof r.name, "%s", name);
  std::snprintf(r.admin, sizeof r.admin, "%s", admin);
  return r;
}

class LobbyTest : public ::testing::Test {
 protected:
  LobbyTest() : ctx{site, state, nullptr} {
    site.program_folder = folder.path();
    state.replace_rooms({room("Lobby", "bob"), room("Quiet", "")});
    site.templates[T_INDEX].set("<script>\n<!--roominfo-->\n<!--onlineusers-->\n</script>");
    site.templates[T_AD].set("<!--roomname-->|<!--link-->");
    site.templates[T_FINDRESULT].set("<p><!--$Find--></p>");
    site.templates[T_PREVIEWICONS].set("<table><!--$Icon--></tr></table>");
  }

  void join(const char* name, int room_number) {
    OnlineUser u;
    std::snprintf(u.name, sizeof u.name, "%s", name);
    u.room = room_number;
    u.last_active_ms = steady_now_ms();  // present, as after a join
    ChatState::Hold chat(state);
    ASSERT_TRUE(state.add_user(u));
  }
  std::string index() {
    std::string out;
    EXPECT_TRUE(page_index(ctx, "/index.ghp", out));
    return out;
  }
  std::string find(const std::string& path) {
    std::string out;
    EXPECT_TRUE(page_finduser(ctx, path, out));
    return out;
  }
  std::string icons() {
    std::string out;
    EXPECT_TRUE(page_previewicons(ctx, "/previewicons.ghp", out));
    return out;
  }
  void pictures(int count) {
    for (int i = 1; i <= count; ++i) folder.write("images/" + std::to_string(i) + ".gif", "GIF89a");
  }

  test::TempDir folder;
  SiteData site;
  ChatState state;
  ChatContext ctx;
};

// --- index.ghp ---

TEST_F(LobbyTest, RoomArrayHasSevenElementsPerRoomAndNoTrailingComma) {
  join("ann", 1);
  join("carl", 1);
  EXPECT_EQ(index(),
            "<script>\n"
            "var rooms = new Array(\"Lobby\",\"2\",false,\"bob\",\"/01/\",0,1,"
            "\"Quiet\",\"0\",false,\"\",\"/01/\",0,2)\n"
            "var OnlineUsers = 2 ;\n</script>");
}

TEST_F(LobbyTest, RoomAccessSaysWhoMayEnterEachRoom) {
  RoomInfo open = room("Open", ""), members = room("Members", ""), hosts = room("Hosts", "bob");
  open.guest = true;
  hosts.guest = true;  // administrators only wins over guests
  hosts.admin_only = true;
  state.replace_rooms({open, members, hosts});
  site.templates[T_INDEX].set("<!--roominfo-->|<!--roomaccess-->");
  const std::string page = index();
  EXPECT_EQ(page.substr(page.find('|')), "|var RoomAccess = new Array(\"guests\",\"members\",\"admins\");");
  state.replace_rooms({});
  EXPECT_EQ(index(), "var rooms = new Array()|var RoomAccess = new Array();");
}

TEST_F(LobbyTest, TotalCountsEveryRoom) {
  join("ann", 1);
  join("bob", 2);
  join("ann", 2);
  const std::string page = index();
  EXPECT_NE(page.find("\"Lobby\",\"1\",false"), std::string::npos) << page;
  EXPECT_NE(page.find("\"Quiet\",\"2\",false"), std::string::npos) << page;
  EXPECT_NE(page.find("var OnlineUsers = 3 ;"), std::string::npos);
}

TEST_F(LobbyTest, NoRoomsGiveAnEmptyArray) {
  state.replace_rooms({});
  EXPECT_EQ(index(), "<script>\nvar rooms = new Array()\nvar OnlineUsers = 0 ;\n</script>");
}

// A quote in a room's name would otherwise end the string and break the
// whole page's script; "</script>" would end the script block.
TEST_F(LobbyTest, RoomTextsCannotEndTheScriptString) {
  state.replace_rooms({room("Joe's \"Bar\"", "a</script>b")});
  const std::string page = index();
  EXPECT_NE(page.find("new Array(\"Joe's \\\"Bar\\\"\",\"0\",false,\"a<\\/script>b\",\"/01/\",0,1)"),
            std::string::npos)
      << page;
}

// --- ad.ghp ---

TEST_F(LobbyTest, AdNamesTheRoomAndTheSiteLink) {
  std::string out;
  ASSERT_TRUE(page_ad(ctx, "/ad.ghp?room=2", out));
  EXPECT_EQ(out, "Quiet|/help/index.html");
}

TEST_F(LobbyTest, AdDeclinesAMissingOrInvalidRoom) {
  for (const char* path : {"/ad.ghp?room=0", "/ad.ghp?room=3", "/ad.ghp", "/ad.ghp?x=1&room=1"}) {
    std::string out;
    EXPECT_FALSE(page_ad(ctx, path, out)) << path;
  }
}

// --- finduser.ghp ---

TEST_F(LobbyTest, FindUserListsEveryRoomNamingTheSearchedSpelling) {
  join("ann", 1);
  join("bob", 1);
  join("Ann", 2);
  EXPECT_EQ(find("/finduser.ghp?username=ANN"),
            "<p>[ANN] is in [Lobby]<br>[ANN] is in [Quiet]<br></p>");
}

TEST_F(LobbyTest, FindUserWithoutMatchSaysNotFound) {
  join("ann", 1);
  EXPECT_EQ(find("/finduser.ghp?username=an"), "<p>Not found!</p>");
  EXPECT_EQ(find("/finduser.ghp?username=anna"), "<p>Not found!</p>");
  EXPECT_EQ(find("/finduser.ghp"), "<p>Not found!</p>");
}

// --- previewicons.ghp ---

TEST_F(LobbyTest, TenPicturesEndTheRow) {
  pictures(10);
  const std::string page = icons();
  EXPECT_EQ(count_of(page, "<td "), 10);
  EXPECT_EQ(page.substr(page.size() - std::string("</tr><tr></tr></table>").size()),
            "</tr><tr></tr></table>");
  EXPECT_EQ(count_of(page, "</tr><tr>"), 1);
}

TEST_F(LobbyTest, ElevenPicturesStartASecondRow) {
  pictures(11);
  const std::string page = icons();
  EXPECT_EQ(count_of(page, "<td "), 11);
  EXPECT_EQ(count_of(page, "</tr><tr>"), 1);
  EXPECT_EQ(page.rfind("</td></tr></table>"), page.size() - std::string("</td></tr></table>").size());
}

TEST_F(LobbyTest, PictureCellsNameTheFileTwiceAndSkipFoldersAndOtherFiles) {
  folder.write("images/3.gif", "GIF89a");
  folder.write("images/readme.txt", "x");
  ASSERT_TRUE(make_directory(folder.path() + "images/x.gif"));
  EXPECT_EQ(icons(),
            "<table><tr><td align=\"center\" height=50><font size=\"2\"><IMG SRC=images/3.gif><br>"
            "3.gif</font></td></tr></table>");
}

TEST_F(LobbyTest, NoPictureFolderLeavesAnOpenRow) {
  EXPECT_EQ(icons(), "<table><tr></tr></table>");
}

}  // namespace
}  // namespace tvl
