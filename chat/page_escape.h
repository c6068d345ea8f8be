// How a value is written into a page: one rule for each kind of place a
// value can land in. Every value the chat copies into an answer, whether it
// comes from the request or from storage, goes through the rule of its place:
//
//   place                                         rule
//   element text, quoted attribute (either        escape_html
//     quote), textarea content
//   a value inside a page address: the template   escape_address_value
//     markers "<!--$user-->", "<!--$pass-->",
//     "<!--$room-->" of the chat window's pages
//     (they stand in src/href/action attributes,
//     a meta content and a script string alike)
//   a double-quoted script string                 escape_for_script_string
//                                                 (chat/script_string.h)
//   a user name in the chat lines' and the user   name_link / getname_argument
//     list's "javascript:...getname('…')" links
//     (unquoted in the chat lines)
//   a picture in "src=/images/…" (unquoted)       only plain picture names
//                                                 (picture_name_plain,
//                                                 storage/account.h)
//   a visitor's chat text (HTML on purpose)       guard_html (chat/html_guard.h)
//
// Thread safety: pure functions.
#pragma once
#include <string>

namespace tvl {

// "&", "<", ">", '"' and "'" as character references; every other byte kept.
// Safe as element text and inside a quoted attribute of either quote.
std::string escape_html(const std::string& text);

// Percent-encodes (upper-case hex) every byte but letters, digits and
// - _ . ~ ! * ( ) % + , ; : @ / = ? $
// A value a browser produced is therefore kept exactly (browsers encode the
// others), while a hand-made one can end neither a quoted attribute, an
// unquoted one, a script string nor the address's own query value. The
// result holds nothing that HTML or a script string would read specially.
std::string escape_address_value(const std::string& text);

// The text to put between the quotes of getname('…') inside a javascript:
// address: escaped for a single-quoted script string, then percent-encoded
// except letters, digits, "-", "_" and ".". The browser percent-decodes the
// address before running it, so getname receives exactly `name`; the result
// holds no blank, quote, "<", ">" or "&", so it cannot end an unquoted
// attribute either.
std::string getname_argument(const std::string& name);

// "<a target=chatsubmit href=javascript:parent.chatsubmit.getname('…');>…</a>"
// with getname_argument(name) in the link and escape_html(name) as its text.
std::string name_link(const std::string& name);

}  // namespace tvl
