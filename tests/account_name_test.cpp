// The name rule: one account under full case folding, lookalikes by their
// confusable skeleton, and the characters no name may hold.
#include "storage/account_name.h"

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace tvl {
namespace {

struct NameCase {
  const char* what;
  std::string name;
  bool well_formed;
  bool same_account_as_admin;  // folds to "admin"
  bool looks_like_admin;       // skeleton of "admin" (asked of well-formed names only)
};

// The lookalikes of "admin" that stood beside the real member.
const NameCase kNames[] = {
    {"the name itself", "admin", true, true, true},
    {"capitals", "ADMIN", true, true, true},
    {"right-to-left override", "admin\u202e", false, false, false},
    {"zero-width space", "ad\u200bmin", false, false, false},
    {"byte-order mark", "\ufeffadmin", false, false, false},
    {"Cyrillic a", "\u0430dmin", true, false, true},
    {"trailing no-break space", "admin\u00a0", false, false, false},
    {"trailing blank", "admin ", false, false, false},
    {"leading blank", " admin", false, false, false},
    {"ideographic space inside", "ad\u3000min", false, false, false},
    {"control character", "ad\x01min", false, false, false},
    {"invalid UTF-8", "adm\xc3in", false, false, false},
    {"a blank inside is fine", "ad min", true, false, false},
    {"another name", "ann", true, false, false},
};

TEST(AccountName, LookalikesOfAnAdministrator) {
  for (const NameCase& c : kNames) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(account_name_well_formed(c.name), c.well_formed);
    EXPECT_EQ(same_account_name(c.name, "admin"), c.same_account_as_admin);
    if (c.well_formed) EXPECT_EQ(account_names_look_alike(c.name, "admin"), c.looks_like_admin);
  }
}

TEST(AccountName, FullCaseFoldingMakesOneAccount) {
  struct Pair {
    const char* a;
    const char* b;
    bool same;
  } pairs[] = {
      {"\u00c9mile", "\u00e9mile", true},             // É / é
      {"E\u0301mile", "\u00e9mile", true},            // combining accent / precomposed
      {"STRASSE", "stra\u00dfe", true},               // full folding: ß is "ss"
      {"\u039f\u03b4\u03c5\u03c3\u03c3\u03b5\u03cd\u03c2", "\u03bf\u03b4\u03c5\u03c3\u03c3\u03b5\u03cd\u03c3", true},  // final sigma
      {"ann", "anna", false},
      {"\u00e9mile", "emile", false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(same_account_name(p.a, p.b), p.same) << p.a << " / " << p.b;
  }
}

TEST(AccountName, NamesOfOlderFilesThatAreNoUtf8StillFoldTheirLetters) {
  // A name in the old single-byte code page ("J\xf6rg" for Jörg).
  EXPECT_TRUE(same_account_name("J\xf6RG", "j\xf6rg"));
  EXPECT_FALSE(same_account_name("J\xf6rg", "J\xd6rg"));
}

}  // namespace
}  // namespace tvl
