#include "server/same_site.h"

#include <cctype>
#include <optional>
#include <string_view>

namespace tvl {

namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
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

bool request_from_this_site(const HttpRequest& request) {
  const std::optional<std::string_view> host = request.header("Host");
  const std::optional<std::string_view> origin = request.header("Origin");
  const std::optional<std::string_view> referer = request.header("Referer");
  if (!origin && !referer) return true;
  // A page opened from a file or a sandboxed frame sends "Origin: null": it is
  // no page of this site.
  const std::string authority = authority_of(std::string(origin ? *origin : *referer));
  if (authority.empty() || !host || host->empty()) return false;
  return without_default_port(authority) == without_default_port(lower(std::string(*host)));
}

}  // namespace tvl
