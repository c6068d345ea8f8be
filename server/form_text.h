// Text helpers shared by the request layer and the chat pages.
#pragma once
#include <string>

namespace tvl {

// The 20 message colours, by index ("#FFFFFF", "#000000", ...).
extern const char* const message_colours[20];

// Decodes a form value in place: "+" among the first `length` bytes (all of
// them when length is negative) becomes a blank, then "%" and the two bytes
// after it become one byte (each read as a hexadecimal digit without
// checking, the halves combined modulo 256). A "%" with fewer than two bytes
// after it is kept as it stands. The text ends at its first NUL byte, as the
// forms were always read. Returns the new length.
int form_decode(std::string& text, int length = -1);

// A name written for a page: when it contains "&#" every byte becomes "%xx";
// otherwise only bytes 0x01-0x1F and 0x80-0xFF do (lower-case hex digits).
std::string escape_for_page(const std::string& text);

}  // namespace tvl
