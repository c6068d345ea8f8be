// Keeps chat lines from running script in other visitors' browsers while
// leaving what users type as HTML working as HTML (bold, colours, links,
// pictures, tables...).
//
// The text is read the way a browser's HTML tokenizer reads it. Every part
// that could run script, or change how the browser reads the text after it,
// is written as visible text (its "<", ">", "&" and quotes escaped as
// character references), never dropped:
//   - start and end tags of script, style, iframe, frame, frameset, object,
//     embed, applet, form, base, meta, link, svg, math, template, the SVG
//     animation elements, of the elements whose content the browser reads
//     as raw text (title, textarea, xmp, noembed, noframes, noscript,
//     plaintext), of dialog (drawn over the whole board) and of html, head
//     and body (their attributes would go to the board page itself);
//   - any tag with an event-handler attribute (a name beginning with "on"),
//     a "style" or "hidden" attribute (the one could lay the element over
//     the whole page, the other hide every later line), or a "srcset" or
//     "ping" attribute (addresses the checks below do not read);
//   - any tag with an attribute that takes the element out of its line or
//     reaches other parts of the board: popover, popovertarget(action),
//     command, commandfor, interestfor, interesttarget, anchor (the top
//     layer lies above every line), class, id, name, slot and data-* (the
//     server's parts of a line are told by class and data-name; a name or
//     id can shadow the board document's own names), autofocus, accesskey;
//   - any tag with a size beyond a line of the board: width or height above
//     400 (or 100%), size above 7, border, cellpadding, cellspacing, hspace
//     or vspace above 20;
//   - audio, video, source, track, picture and bgsound: they would make
//     every viewer's browser fetch from wherever the line points;
//   - any tag whose source attribute (src, poster, background, data, ...)
//     addresses one of the chat's own dynamic pages (".ghp", however
//     spelt): a picture of such a page takes a viewer's connection for as
//     long as that page runs; and, but for pictures, any tag whose source
//     is on another site (a scheme of any case, or "//host");
//   - any tag with an attribute value that, after character references are
//     decoded, control characters and blanks removed and letters lowered,
//     contains "javascript:", "vbscript:" or "livescript:", or begins with
//     "data:";
//   - a tag the text ends inside of (no closing ">"), since whatever is
//     appended to the line would become part of it;
//   - comments, declarations and processing instructions ("<!", "<?") and
//     end tags not starting with a letter (only their "<" is escaped).
// Every other byte, safe tags included, is kept exactly as it stands, with
// these exceptions:
//   - a picture (img) from another site is shown as a link the viewer may
//     open, "[picture: host/path]", unless remote pictures are allowed; then
//     it stays a picture and sends no referrer;
//   - links (a, area) open in a new tab that cannot reach back into the
//     chat: whatever target and rel they had, they get target=_blank and
//     rel="noopener noreferrer" (a target could name a frame of the chat);
//   - what a line opens it also closes: at the end of the text the guard
//     writes the end tags of the elements still open, innermost first, so
//     that one line cannot make every later line bold or hidden; an end tag
//     of an element that is not open is dropped, so that one line cannot
//     close what the page or the formatting around it opened; an end tag of
//     an element further out closes the ones inside it first.
// Links and other sites' pictures are written again from their attributes (names lower
// case, values double-quoted as written).
//
// Thread safety: pure function.
#pragma once
#include <string>

namespace tvl {

struct GuardOptions {
  // Pictures from other sites shown inline (RemotePictures=1 in option.ini).
  bool remote_pictures = false;
};

std::string guard_html(const std::string& text, const GuardOptions& options = GuardOptions());

}  // namespace tvl
