#include "server/http_request.h"

#include "storage/client_network.h"
#include "storage/ip_list.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace tvl {

namespace http_detail {

bool same_letters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim(std::string_view text) {
  const char* blanks = " \t\r";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return std::string_view();
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace http_detail

using http_detail::same_letters;
using http_detail::trim;

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Decimal digits only, without overflow; false for anything else.
bool parse_number(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// Entries are addresses or networks ("10.0.0.0/8"), as in the IP lists.
bool listed(const std::vector<std::string>& list, std::string_view address) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& entry) { return ip_entry_matches(entry, address); });
}

}  // namespace

std::size_t header_end(std::string_view text) {
  for (std::size_t at = text.find('\n'); at != std::string_view::npos;
       at = text.find('\n', at + 1)) {
    std::size_t next = at + 1;
    if (next < text.size() && text[next] == '\r') ++next;
    if (next < text.size() && text[next] == '\n') return next + 1;
  }
  return std::string_view::npos;
}

long long content_length(std::string_view header) {
  static constexpr std::string_view kName = "content-length:";
  for (std::size_t line = header.find('\n'); line != std::string_view::npos;
       line = header.find('\n', line + 1)) {
    std::size_t at = line + 1;
    if (header.size() - at < kName.size() ||
        strncasecmp(header.data() + at, kName.data(), kName.size()) != 0)
      continue;
    at += kName.size();
    while (at < header.size() && (header[at] == ' ' || header[at] == '\t')) ++at;
    long long value = -1;
    while (at < header.size() && header[at] >= '0' && header[at] <= '9') {
      if (value < 0) value = 0;
      // Anything this large never completes; keep it from overflowing.
      if (value < (1LL << 40)) value = value * 10 + (header[at] - '0');
      ++at;
    }
    if (value >= 0) return value;
  }
  return -1;
}

std::size_t request_length(std::string_view text) {
  if (text.size() < 4) return 0;
  const std::size_t end = header_end(text);
  const std::string_view header = end == std::string_view::npos ? text : text.substr(0, end);
  const long long length = content_length(header);
  if (length >= 0) {
    // A form split over several packets is handled only once all of it is here.
    if (end == std::string_view::npos) return 0;
    const std::size_t body = text.size() - end;
    return body >= static_cast<unsigned long long>(length)
               ? end + static_cast<std::size_t>(length)
               : 0;
  }
  if (contains(text, "&chat_flag=") || contains(text, "&submit1=")) return text.size();
  return end == std::string_view::npos ? 0 : end;
}

RequestLine parse_request_line(std::string_view text) {
  RequestLine line;
  const std::size_t eol = text.find('\n');
  const std::size_t first = text.find(' ');
  if (first == std::string_view::npos) return line;
  line.has_method = true;
  line.method = text.substr(0, first);
  // The path runs to the next blank, which must stand on the first line.
  const std::size_t second = text.find(' ', first + 1);
  if (second == std::string_view::npos) return line;
  line.has_path = true;
  line.path = text.substr(first + 1, second - first - 1);
  if (eol != std::string_view::npos && second < eol)
    line.version = trim(text.substr(second + 1, eol - second - 1));
  else if (eol == std::string_view::npos)
    line.version = trim(text.substr(second + 1));
  return line;
}

RangeAsk parse_range(std::string_view value, std::uint64_t size, ByteRange& range) {
  value = trim(value);
  const std::size_t equals = value.find('=');
  if (equals == std::string_view::npos || !same_letters(trim(value.substr(0, equals)), "bytes"))
    return RangeAsk::Whole;
  const std::string_view spec = trim(value.substr(equals + 1));
  if (contains(spec, ",")) return RangeAsk::Whole;  // several ranges: the whole body
  const std::size_t dash = spec.find('-');
  if (dash == std::string_view::npos) return RangeAsk::Whole;
  const std::string_view from = trim(spec.substr(0, dash));
  const std::string_view to = trim(spec.substr(dash + 1));
  std::uint64_t a = 0, b = 0;
  if (from.empty()) {
    // The last b bytes.
    if (!parse_number(to, b)) return RangeAsk::Whole;
    if (b == 0 || size == 0) return RangeAsk::Unsatisfiable;
    range.first = size > b ? size - b : 0;
    range.last = size - 1;
    return RangeAsk::Part;
  }
  if (!parse_number(from, a)) return RangeAsk::Whole;
  if (to.empty()) {
    b = size == 0 ? 0 : size - 1;
  } else {
    if (!parse_number(to, b) || b < a) return RangeAsk::Whole;
  }
  if (a >= size) return RangeAsk::Unsatisfiable;
  range.first = a;
  range.last = std::min(b, size - 1);
  return RangeAsk::Part;
}

std::vector<std::string> address_list(std::string_view text) {
  std::vector<std::string> list;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = trim(text.substr(0, comma));
    if (!item.empty()) list.emplace_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return list;
}

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
  for (const HeaderLine& h : headers)
    if (same_letters(h.name, name)) return h.value;
  return std::nullopt;
}

namespace {

// The header lines of the text after its request line, up to the empty line.
void read_header_lines(std::string_view header, std::vector<HeaderLine>& lines) {
  std::size_t line = header.find('\n');
  while (line != std::string_view::npos && line + 1 < header.size()) {
    const std::size_t start = line + 1;
    const std::size_t stop = header.find('\n', start);
    const std::string_view text =
        header.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start);
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos)
      lines.push_back({trim(text.substr(0, colon)), trim(text.substr(colon + 1))});
    line = stop;
  }
}

bool keeps_connection(const HttpRequest& request) {
  bool close = false, keep = false;
  request.for_each_header("connection", [&](std::string_view value) {
    while (!value.empty()) {
      const std::size_t comma = value.find(',');
      const std::string_view token = trim(value.substr(0, comma));
      if (same_letters(token, "close")) close = true;
      if (same_letters(token, "keep-alive")) keep = true;
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  });
  if (close) return false;
  if (keep) return true;
  return same_letters(request.line.version, "HTTP/1.1");
}

std::string forwarded_client(const HttpRequest& request, const std::vector<std::string>& trusted) {
  const std::string& peer = request.peer;
  if (trusted.empty() || !listed(trusted, peer)) return peer;
  std::vector<std::string_view> hops;
  request.for_each_header("x-forwarded-for", [&](std::string_view value) {
    while (!value.empty()) {
      const std::size_t comma = value.find(',');
      hops.push_back(trim(value.substr(0, comma)));
      if (comma == std::string_view::npos) break;
      value.remove_prefix(comma + 1);
    }
  });
  if (hops.empty()) return peer;
  std::string_view client = hops.front();
  for (auto it = hops.rbegin(); it != hops.rend(); ++it) {
    if (!listed(trusted, *it)) {
      client = *it;
      break;
    }
  }
  IpAddress forwarded;
  return parse_ip_address(client, forwarded) ? ip_text(forwarded) : peer;
}

}  // namespace

HttpRequest parse_request(std::string_view text, const std::string& peer, bool secure,
                          const std::vector<std::string>& trusted) {
  HttpRequest request;
  request.text = text;
  request.line = parse_request_line(text);
  if (request.line.has_method && !request.line.has_path) {
    // A target without a version after it ends with its line.
    const std::size_t first = request.line.method.size() + 1;
    const std::size_t end = text.find_first_of(" \r\n", first);
    request.line.path = text.substr(first, end == std::string_view::npos ? end : end - first);
  }
  const std::size_t question = request.line.path.find('?');
  if (question != std::string_view::npos) request.query = request.line.path.substr(question + 1);
  const std::size_t end = header_end(text);
  request.headers.reserve(16);
  read_header_lines(end == std::string_view::npos ? text : text.substr(0, end), request.headers);
  if (end != std::string_view::npos) request.body = text.substr(end);
  request.peer = peer;
  request.secure = secure;
  request.keep_alive = keeps_connection(request);
  request.client = forwarded_client(request, trusted);
  return request;
}

}  // namespace tvl
