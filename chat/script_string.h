// Texts placed between the double quotes of a script statement of a page
// (the message lines of the board and own-messages updates, the user-list
// reload). The browser must get back exactly the stored text, and the text
// must neither end the string nor the <script> block around it.
// Thread safety: pure function.
#pragma once
#include <string>

namespace tvl {

// Escapes for a double-quoted script string inside an HTML <script> block:
// "\" -> "\\", '"' -> "\"", CR -> "\r", LF -> "\n", "</" -> "<\/" and
// "<!--" -> "<\!--" (both read back as written, and neither can end or
// change the script block). Every other byte is kept.
std::string escape_for_script_string(const std::string& text);

}  // namespace tvl
