#include "server/same_site.h"

#include <cctype>

namespace tvl {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of a header line (name matched ignoring case) among the header
// lines of the request, trimmed; `found` tells whether the header was there.
std::string header_value(const std::string& request, const char* name, bool& found) {
  found = false;
  const std::string wanted = lower(name) + ":";
  std::size_t line = request.find('\n');
  const std::size_t end = request.find("\r\n\r\n");
  while (line != std::string::npos && (end == std::string::npos || line < end + 2)) {
    const std::size_t from = line + 1;
    const std::size_t next = request.find('\n', from);
    std::string text = request.substr(from, next == std::string::npos ? std::string::npos
                                                                       : next - from);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) break;  // end of the header lines
    if (lower(text.substr(0, wanted.size())) == wanted) {
      std::string value = text.substr(wanted.size());
      const std::size_t a = value.find_first_not_of(" \t");
      const std::size_t b = value.find_last_not_of(" \t");
      found = true;
      return a == std::string::npos ? std::string() : value.substr(a, b - a + 1);
    }
    line = next;
  }
  return std::string();
}

// "http://host:port/path" -> "host:port"; empty when it is no http(s) URL.
std::string authority_of(const std::string& url) {
  const std::string l = lower(url);
  std::size_t from;
  if (l.rfind("http://", 0) == 0) from = 7;
  else if (l.rfind("https://", 0) == 0) from = 8;
  else return std::string();
  const std::size_t to = l.find_first_of("/?#", from);
  std::string authority = l.substr(from, to == std::string::npos ? std::string::npos : to - from);
  // Credentials before the host name do not count.
  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  return authority;
}

// "host:80" and "host" are one site for http.
std::string without_default_port(std::string authority) {
  if (authority.size() > 3 && authority.compare(authority.size() - 3, 3, ":80") == 0)
    authority.resize(authority.size() - 3);
  return authority;
}

}  // namespace

bool request_from_this_site(const std::string& request) {
  bool has_fetch_site = false;
  // Browsers mark what a page of another site made them send, whatever
  // the page did to hide its Origin or Referer.
  if (lower(header_value(request, "Sec-Fetch-Site", has_fetch_site)) == "cross-site") return false;
  bool has_host = false, has_origin = false, has_referer = false;
  const std::string host = lower(header_value(request, "Host", has_host));
  const std::string origin = header_value(request, "Origin", has_origin);
  const std::string referer = header_value(request, "Referer", has_referer);
  if (!has_origin && !has_referer) return true;
  // A page opened from a file or a sandboxed frame sends "Origin: null": it is
  // no page of this site.
  const std::string source = has_origin ? origin : referer;
  const std::string authority = authority_of(source);
  if (authority.empty() || !has_host || host.empty()) return false;
  return without_default_port(authority) == without_default_port(host);
}

}  // namespace tvl
