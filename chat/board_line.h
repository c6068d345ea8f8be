// How one line of the board is written. Every line the chat keeps in a
// room's ring is one element of its own:
//
//   <div class="line[ priv]"><span class="head">…</span> <span class="text|note">…</span></div>
//
//   part                 made by          holds
//   div.line             the server       the whole line; "priv" only for a private line
//   span.head            the server       the private mark, the time, the sender and the
//                                         addressee (name links carry data-name; the
//                                         chat window attaches what a click does)
//   span.text            the guard        the visitor's text, as guard_html left it
//   span.note            the server       the server's own words (joined, left, banned...)
//
// A visitor's text cannot produce any of the server's parts: the guard
// refuses class, id and data-* attributes and every end tag of an element the
// text did not open, so the text stays inside its span and the span inside
// its line. The board's style sheet (site/board.htm) gives every line a
// hanging indent: the head stands at the left margin and everything after
// the first row of a line, including a visitor's line breaks and blocks,
// starts further in, so no row of a visitor's text lines up with a head.
//
// Thread safety: pure functions.
#pragma once
#include <string>

namespace tvl {

// A line of chat: `text` is the visitor's text after guard_html.
std::string said_line(const std::string& time, const std::string& from, const std::string& to,
                      bool private_line, const std::string& text);

// A line about a user ("joined the chat room...", "left the chat room...").
std::string presence_line(const std::string& time, const std::string& name, const char* what);

// A line of the server's own words; `html` is already page text
// (escape_html'd where it holds names).
std::string notice_line(const std::string& html, bool private_line = false);

// Whether a ring line is private (written with private_line set).
bool is_private_line(const std::string& line);

// The link of a name in a line's head: escape_html(name) as its text and in
// its data-name attribute.
std::string head_name_link(const std::string& name);

}  // namespace tvl
