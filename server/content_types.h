// The content-type table: file-name extension -> content type, built once by
// the server object and read without a lock afterwards.
#pragma once
#include <map>
#include <string>
#include <string_view>

namespace tvl {

// Fills `table` in the table's fixed order; a later entry for the same
// extension replaces the earlier one ("arj" ends as
// "application/x-compressed", "rtf" as "text/richtext"), then the types of
// today's pages (png, svg, ico, webp, json, woff2, mp4, txt, xml, wasm): 78
// extensions. Text types (text/*, json, xml, svg, javascript) carry
// "; charset=utf-8".
void fill_content_types(std::map<std::string, std::string>& table);

// The extension of a requested path: the text after the last "." of its last
// "/"-separated segment, with the query (from the first "?") left out,
// lower-cased. Empty when there is none.
std::string path_extension(std::string_view path);

}  // namespace tvl
