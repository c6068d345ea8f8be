// form_decode, escape_for_page and the message colours.
#include "server/form_text.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tvl {
namespace {

struct DecodeCase {
  const char* name;
  std::string input;
  int length;
  std::string expected;
};

class FormDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(FormDecode, DecodesInPlaceAndReturnsTheNewLength) {
  const DecodeCase& c = GetParam();
  std::string text = c.input;
  int result = form_decode(text, c.length);
  EXPECT_EQ(text, c.expected);
  EXPECT_EQ(result, static_cast<int>(c.expected.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormDecode,
    ::testing::Values(
        DecodeCase{"PlusAndEscape", "a+b%41", -1, "a bA"},
        DecodeCase{"LowerCaseDigits", "%6a%6A", -1, "jj"},
        DecodeCase{"PlusOnlyWithinLength", "a+b+c", 2, "a b+c"},
        DecodeCase{"LengthZeroKeepsPlus", "+%20", 0, "+ "},
        DecodeCase{"LengthBeyondText", "a+b", 50, "a b"},
        DecodeCase{"EncodedPlusStaysPlus", "%2B+", -1, "+ "},
        // Digits are not checked: "G" counts 16, so 16 * 16 + 1 wraps to 1.
        DecodeCase{"LetterBeyondF", "%G1", -1, std::string("\x01", 1)},
        DecodeCase{"LowerLetterBeyondF", "%zz", -1, "S"},  // 35 * 16 + 35 = 595 -> 83
        // Bytes 0x80..0xFF count from "0": (0xFF - 48) * 16 = 3312 -> 0xF0.
        DecodeCase{"HighByteDigit", "%\xff" "0", -1, "\xf0"},
        // A blank counts -16: -16 * 16 + 1 = -255 -> 1.
        DecodeCase{"BlankDigitWraps", "% 1", -1, std::string("\x01", 1)},
        DecodeCase{"PlusTurnedBlankBeforeDecoding", "%+1", -1, std::string("\x01", 1)},
        DecodeCase{"EscapedNulEndsNothing", "a%00b", -1, std::string("a\0b", 3)},
        DecodeCase{"StopsAtNul", std::string("a+%41\0+%42", 10), -1, "a A"},
        DecodeCase{"Empty", "", -1, ""}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// A "%" too close to the end is kept as it stands: nothing after the text is
// ever taken as a digit. The long variants live on the heap, where a read
// past the end shows under the address sanitizer.
TEST(FormDecodeEnd, PercentAtTheEndIsKept) {
  const std::string cases[] = {"%", "ab%", "ab%4", "%41%", "%41%4",
                               std::string(40, 'x') + "%", std::string(40, 'x') + "%4"};
  for (const std::string& input : cases) {
    std::string text = input;
    std::string expected = input;
    if (input.rfind("%41", 0) == 0) expected = "A" + input.substr(3);
    EXPECT_EQ(form_decode(text), static_cast<int>(expected.size())) << input;
    EXPECT_EQ(text, expected) << input;
  }
}

TEST(FormDecodeEnd, ShortenedHeapTextReadsOnlyItsOwnBytes) {
  // The bytes right after the text's end look like hex digits; they must not
  // be taken.
  std::string text = std::string(30, 'y') + "%4142";
  text.resize(32);  // "yy...%4" with "142" left in the old storage
  EXPECT_EQ(form_decode(text), 32);
  EXPECT_EQ(text, std::string(30, 'y') + "%4");
}

TEST(EscapeForPage, EscapesControlAndHighBytes) {
  EXPECT_EQ(escape_for_page("x&#y"), "%78%26%23%79");
  EXPECT_EQ(escape_for_page("Ann Lee"), "Ann Lee");
  EXPECT_EQ(escape_for_page("a\x01" "b\x1f\x20\x7f\x80\xff"), "a%01b%1f \x7f%80%ff");
  EXPECT_EQ(escape_for_page("&"), "&");
  EXPECT_EQ(escape_for_page("#&"), "#&");
  EXPECT_EQ(escape_for_page("&#"), "%26%23");
  EXPECT_EQ(escape_for_page(""), "");
}

TEST(EscapeForPage, AtMostThreeTimesTheInput) {
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
  std::string with_marker = "&#" + all;
  EXPECT_EQ(escape_for_page(with_marker).size(), with_marker.size() * 3);
}

TEST(MessageColours, TwentyColoursInTheirOrder) {
  const char* expected[20] = {"#FFFFFF", "#000000", "#000099", "#009900", "#FF0000",
                              "#990000", "#990099", "#999900", "#FFFF00", "#00FF00",
                              "#009999", "#00FFFF", "#0000FF", "#FF00FF", "#999999",
                              "#CCCCCC", "#1E90FF", "#FFC0CB", "#FF7F50", "#FFD700"};
  std::set<std::string> distinct;
  for (int i = 0; i < 20; ++i) {
    EXPECT_STREQ(message_colours[i], expected[i]) << i;
    distinct.insert(message_colours[i]);
  }
  EXPECT_EQ(distinct.size(), 20u);
}

}  // namespace
}  // namespace tvl
