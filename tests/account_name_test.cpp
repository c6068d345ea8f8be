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

// New names (guests, registrations) by Unicode's identifier rules, and what
// they render like, with the examples of Unicode's confusables and those
// that stood beside a real member.
struct NewNameCase {
  const char* what;
  std::string name;
  bool allowed;
  const char* looks_like;  // a name it renders like, or nullptr
};

const NewNameCase kNewNames[] = {
    {"plain", "ann", true, nullptr},
    {"ASCII punctuation as before", "Ann-Marie_2. x", true, nullptr},
    {"accented Latin", "Jos\u00e9", true, "jose"},
    {"Han", "\u674e\u5c0f\u9f8d", true, nullptr},
    {"Devanagari with its own marks", "\u0928\u092e\u0938\u094d\u0924\u0947", true, nullptr},
    {"braille blank", "admin\u2800", false, "admin"},
    {"braille blank after another name", "ann\u2800", false, "ann"},
    {"combining dot below, as typed", "admin\u0323", false, "admin"},
    {"dot below, precomposed", "admi\u1e47", true, "admin"},
    {"marks of any letter", "ab\u0301\u0301", false, "ab"},
    {"full-width letters", "\uff41\uff44\uff4d\uff49\uff4e", false, "admin"},
    {"ligature", "\ufb01sh", false, "fish"},
    {"superscript", "x\u00b2", false, "x2"},
    {"symbol", "ann\u2605", false, nullptr},
    {"emoji", "ann\U0001f600", false, nullptr},
    {"Latin with one Cyrillic letter", "p\u0430ypal", false, "paypal"},
    {"whole-script Cyrillic", "\u0455\u0441\u043e\u0440\u0435", true, "scope"},
    {"digit one for l", "paypa1", true, "paypal"},
    {"r and n for m", "rnoderator", true, "moderator"},
    {"digits of two systems", "ann1\u0662", false, nullptr},
    {"Greek omicron among Latin", "b\u03bfb", false, "bob"},
    {"zero-width joiner", "an\u200dn", false, nullptr},
};

TEST(AccountName, NewNamesAreIdentifiersAndLookalikesAreFound) {
  for (const NewNameCase& c : kNewNames) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(account_name_new_allowed(c.name), c.allowed);
    if (c.looks_like) EXPECT_TRUE(account_names_look_alike(c.name, c.looks_like));
  }
  EXPECT_FALSE(account_names_look_alike("ann", "anna"));
  EXPECT_FALSE(account_names_look_alike("bob", "rob"));
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
