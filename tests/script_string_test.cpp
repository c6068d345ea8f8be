#include "chat/script_string.h"

#include <gtest/gtest.h>

namespace tvl {
namespace {

struct EscapeCase {
  const char* input;
  const char* expected;
};

class ScriptString : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(ScriptString, Escapes) {
  EXPECT_EQ(escape_for_script_string(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptString,
    ::testing::Values(EscapeCase{"plain", "plain"},
                      EscapeCase{"say \"hi\"", "say \\\"hi\\\""},
                      EscapeCase{"c:\\dir\\", "c:\\\\dir\\\\"},
                      EscapeCase{"a\r\nb", "a\\r\\nb"},
                      EscapeCase{"<br><font>x</font>", "<br><font>x<\\/font>"},
                      EscapeCase{"</script><script>alert(1)</script>",
                                 "<\\/script><script>alert(1)<\\/script>"},
                      EscapeCase{"<!--$msg-->", "<\\!--$msg-->"},
                      EscapeCase{"<!x <- <", "<!x <- <"},
                      EscapeCase{"it's", "it's"},
                      EscapeCase{"\\\"", "\\\\\\\""},
                      EscapeCase{"", ""}));

TEST(ScriptStringBytes, NonAsciiAndNulKept) {
  const std::string text("\xc3\xa9\0x", 4);
  EXPECT_EQ(escape_for_script_string(text), text);
}

}  // namespace
}  // namespace tvl
