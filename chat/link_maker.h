// Link-making for chat lines: web addresses in the text a visitor typed
// become links that open in a new tab.
//
// An address begins with "http://" or "https://" (any case) or "www.", at
// the start of the text or after a character that cannot be part of a word
// or an address. It ends before white space, a control character, "<", ">",
// a quote or a closing bracket (")", "]", "}"), and final punctuation
// (". , ; : ! ?") is left out of it. Each address becomes its own link:
//   <a target=_blank rel="noopener noreferrer" href="ADDRESS"><font
//   color=blue>ADDRESS</font></a>
// (a "www." address gets "http://" in front inside href). Nothing inside a
// tag, and nothing inside a link the visitor wrote, is touched.
//
// The result is never longer than `max_bytes`: the first address whose link
// would take it past that bound, and every one after it, stays as typed.
// The text itself is assumed to fit (the caller bounds it).
//
// Thread safety: pure function.
#pragma once
#include <cstddef>
#include <string>

namespace tvl {

std::string make_links(const std::string& text, std::size_t max_bytes);

}  // namespace tvl
