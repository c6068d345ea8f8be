// Texts a visitor may have typed (names, profiles, room names, chat lines),
// made safe for the operator's terminal: nothing in them can act as a
// control. C0 controls, DEL, the C1 controls (U+0080..U+009F), bytes that
// are not well-formed UTF-8, and the backslash itself are written as
// escapes: "\xNN" per byte ("\x1b[2J" for ESC [ 2 J, "\xc2\x9b" for CSI),
// "\\" for a backslash; everything else passes unchanged.
// Thread safety: pure functions.
#pragma once
#include <string>

namespace tvl {

// One value of a row: tabs and line ends are escaped too, so that a value
// can neither break its row's columns nor start a row of its own.
std::string terminal_text(const std::string& text);

// Lines of a file shown whole (the chat log): tab, line feed and a carriage
// return right before a line feed stay; everything else as above.
std::string terminal_lines(const std::string& text);

}  // namespace tvl
