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
//     animation elements, and of the elements whose content the browser
//     reads as raw text (title, textarea, xmp, noembed, noframes, noscript,
//     plaintext);
//   - any tag with an event-handler attribute (a name beginning with "on")
//     or a "style" attribute (it could lay the element over the whole page);
//   - any tag with an attribute value that, after character references are
//     decoded, control characters and blanks removed and letters lowered,
//     contains "javascript:", "vbscript:" or "livescript:", or begins with
//     "data:";
//   - a tag the text ends inside of (no closing ">"), since whatever is
//     appended to the line would become part of it;
//   - comments, declarations and processing instructions ("<!", "<?") and
//     end tags not starting with a letter (only their "<" is escaped).
// Every other byte, safe tags included, is kept exactly as it stands.
//
// Thread safety: pure function.
#pragma once
#include <string>

namespace tvl {

std::string guard_html(const std::string& text);

}  // namespace tvl
