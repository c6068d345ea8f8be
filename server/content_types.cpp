#include "server/content_types.h"

namespace tvl {

namespace {

struct TypeRow {
  const char* type;
  const char* extensions[11];  // null-terminated list
};

// The order matters: where an extension appears twice the later row wins.
const TypeRow kRows[] = {
    {"application/msword", {"doc"}},
    {"application/octet-stream", {"bin", "dll", "exe"}},
    {"application/pdf", {"pdf"}},
    {"application/pkcs7-mime", {"p7c"}},
    {"application/postscript", {"ai", "eps", "ps"}},
    {"application/rtf", {"rtf"}},
    {"application/vnd.fdf", {"fdf"}},
    {"application/x-arj", {"arj"}},
    {"application/x-gzip", {"gz"}},
    {"application/x-java-class", {"class"}},
    {"application/x-javascript", {"js"}},
    {"application/x-lzh", {"lzh"}},
    {"application/x-ms-shortcut", {"lnk"}},
    {"application/x-tar", {"tar"}},
    {"application/x-winhelp", {"hlp"}},
    {"application/x-x509-ca-cert", {"cert"}},
    {"application/zip", {"zip"}},
    {"application/x-compressed", {"cab", "arj"}},
    {"audio/aiff", {"aif", "aifc", "aiff"}},
    {"audio/basic", {"au", "snd"}},
    {"audio/midi", {"mid", "rmi"}},
    {"audio/mpeg", {"mp3"}},
    {"audio/voxware", {"vox"}},
    {"audio/wav", {"wav"}},
    {"audio/x-pn-realaudio", {"ra", "ram"}},
    {"image/bmp", {"bmp"}},
    {"image/gif", {"gif"}},
    {"image/jpeg", {"jpeg", "jpg"}},
    {"image/tiff", {"tif", "tiff"}},
    {"image/xbm", {"xbm"}},
    {"model/vrml", {"wrl"}},
    {"text/html", {"htm", "html"}},
    {"text/plain", {"c", "cpp", "def", "h", "txt"}},
    {"text/richtext", {"rtx", "rtf"}},
    {"text/x-java-source", {"java"}},
    {"text/css", {"css"}},
    {"video/mpeg", {"mpeg", "mpg", "mpe"}},
    {"video/msvideo", {"avi"}},
    {"video/quicktime", {"mov", "qt"}},
    {"wwwserver/html-ssi", {"shtml"}},
    {"wwwserver/isapi",
     {"asa", "asp", "cfm", "dbm", "isa", "plx", "url", "cgi", "php", "wcgi"}},
    // Types of today's web pages, which browsers otherwise refuse or guess
    // (a picture sent as text/html shows as text).
    {"image/png", {"png"}},
    {"image/svg+xml", {"svg"}},
    {"image/x-icon", {"ico"}},
    {"image/webp", {"webp"}},
    {"application/json", {"json"}},
    {"font/woff2", {"woff2"}},
    {"video/mp4", {"mp4"}},
    {"text/plain", {"txt"}},
    {"application/xml", {"xml"}},
    {"application/wasm", {"wasm"}},
};

// Text types name the character set of the shipped pages, so a browser
// never guesses one from the bytes.
bool is_text(const std::string& type) {
  return type.compare(0, 5, "text/") == 0 || type == "application/json" ||
         type == "application/xml" || type == "image/svg+xml" ||
         type == "application/x-javascript";
}

}  // namespace

void fill_content_types(std::map<std::string, std::string>& table) {
  table.clear();
  for (const TypeRow& row : kRows) {
    std::string type = row.type;
    if (is_text(type)) type += "; charset=utf-8";
    for (const char* const* ext = row.extensions; *ext; ++ext) table[*ext] = type;
  }
}

std::string path_extension(std::string_view path) {
  std::size_t query = path.find('?');
  if (query != std::string_view::npos) path = path.substr(0, query);
  std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path = path.substr(slash + 1);
  std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  std::string ext(path.substr(dot + 1));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return ext;
}

}  // namespace tvl
