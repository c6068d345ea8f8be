// What a visitor typed, on the operator's terminal and in --json: nothing
// acts as a control, and every JSON text is valid UTF-8.
#include "ops/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

#include "ops/json_text.h"

namespace tvl {
namespace {

using namespace std::string_literals;

struct EscapeCase {
  const char* what;
  std::string in;
  std::string terminal;  // terminal_text
  std::string json;      // json_string
};

const EscapeCase kCases[] = {
    {"plain text", "ann", "ann", "\"ann\""},
    {"UTF-8 letters stay", "\xc3\xa9mile \xe4\xb8\xad \xf0\x9f\x98\x80", "\xc3\xa9mile \xe4\xb8\xad \xf0\x9f\x98\x80",
     "\"\xc3\xa9mile \xe4\xb8\xad \xf0\x9f\x98\x80\""},
    {"erase screen", "\x1b[2J", "\\x1b[2J", "\"\\u001b[2J\""},
    {"OSC title", "\x1b]0;owned\x07", "\\x1b]0;owned\\x07", "\"\\u001b]0;owned\\u0007\""},
    {"C1 CSI and NEL", "a\xc2\x9b" "2Jb\xc2\x85", "a\\xc2\\x9b2Jb\\xc2\\x85", "\"a\\u009b2Jb\\u0085\""},
    {"DEL, tab, line ends", "a\x7f\tb\r\nc", "a\\x7f\\x09b\\x0d\\x0ac", "\"a\\u007f\\u0009b\\u000d\\u000ac\""},
    {"NUL", "a\0b"s, "a\\x00b", "\"a\\u0000b\""},
    {"bytes that are not UTF-8", "\xff\xfe", "\\xff\\xfe", "\"\\u00ff\\u00fe\""},
    {"a cut sequence", "x\xe4\xb8", "x\\xe4\\xb8", "\"x\\u00e4\\u00b8\""},
    {"overlong slash", "\xc0\xaf", "\\xc0\\xaf", "\"\\u00c0\\u00af\""},
    {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\"\\u00ed\\u00a0\\u0080\""},
    {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
    {"quote and backslash", "a\"b\\c", "a\"b\\\\c", "\"a\\\"b\\\\c\""},
    {"Latin-1 C1 byte alone", "\x9b", "\\x9b", "\"\\u009b\""},
};

TEST(TerminalText, ControlsAndInvalidBytesAreEscapedEverywhere) {
  for (const EscapeCase& c : kCases) {
    EXPECT_EQ(terminal_text(c.in), c.terminal) << c.what;
    EXPECT_EQ(json_string(c.in), c.json) << c.what;
  }
}

TEST(TerminalText, LogLinesKeepTheirLineEndsOnly) {
  EXPECT_EQ(terminal_lines("1.2.3.4 12:00:00 a\tb\r\nnext\x1b[1A\rrow\n"),
            "1.2.3.4 12:00:00 a\tb\r\nnext\\x1b[1A\\x0drow\n");
}

}  // namespace
}  // namespace tvl
