// Room administrators are whole names of the administrator text.
#include <gtest/gtest.h>

#include "chat/room_admin.h"

namespace tvl {
namespace {

TEST(RoomAdministrator, WholeNamesBetweenSeparators) {
  struct Case {
    const char* admin_text;
    const char* name;
    bool administrator;
  } cases[] = {
      {"admin", "admin", true},
      {"admin", "dmi", false},
      {"admin", "min", false},
      {"admin", "adm", false},
      {"admin", "admins", false},
      {"joanna;bob", "ann", false},
      {"joanna;bob", "joanna", true},
      {"joanna;bob", "bob", true},
      {"ann, bob", "bob", true},      // comma and blank
      {"ann,,bob;", "bob", true},     // empty pieces
      {" ann ", "ann", true},
      {"ann bob", "ann bob", false},  // a blank separates
      {"Admin", "admin", true},       // one account regardless of case
      {"", "", false},
      {"ann;", "", false},
      {"ann", "", false},
      {"a.b;c-d", "c-d", true},
      {"a.b;c-d", "a", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_room_administrator(c.admin_text, c.name), c.administrator)
        << '"' << c.admin_text << "\" / \"" << c.name << '"';
}

TEST(RoomAdministrator, FixedFieldEndsAtItsNul) {
  const char field[16] = "bob\0ann";
  EXPECT_TRUE(is_room_administrator(std::string_view(field, sizeof field), "bob"));
  EXPECT_FALSE(is_room_administrator(std::string_view(field, sizeof field), "ann"));
}

}  // namespace
}  // namespace tvl
