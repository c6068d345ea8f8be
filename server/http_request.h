// Reading what the server needs from a request's text: where the request
// ends, and once it is complete, the request as a value (request line,
// header lines, body, whether the connection is kept, the client's address
// behind a trusted reverse proxy); a byte range. Lines may end in CR LF or in a bare LF.
// Every function works on views of the caller's text and keeps nothing.
// Thread safety: all functions may run on any number of threads at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tvl {

// Index just past the empty line that ends the header (CR LF CR LF, or LF
// LF, or LF CR LF); npos when there is none yet.
std::size_t header_end(std::string_view text);

// The value of the first "Content-Length" line among the header lines of
// `header` (the text after its first line); -1 when there is none or it
// holds no number.
long long content_length(std::string_view header);

// Length of the complete request at the start of `text`, 0 while it is
// incomplete (never below 4 bytes):
// - with a Content-Length: the header and that many bytes after it;
// - without one: the header alone, unless the text holds one of the form
//   markers "&chat_flag=" or "&submit1=" (a form a browser sent without a
//   length), which make the whole text one request, as they do before the
//   header is complete.
std::size_t request_length(std::string_view text);

// The request line: method up to the first blank, path up to the second,
// version up to the line's end (without its CR). has_path is false when
// there is no second blank on the line.
struct RequestLine {
  std::string_view method;
  std::string_view path;
  std::string_view version;
  bool has_method = false;
  bool has_path = false;
};
RequestLine parse_request_line(std::string_view text);

// One header line, its name and value with blanks around each removed.
struct HeaderLine {
  std::string_view name;
  std::string_view value;
};

// A request read once. The request layer and the pages read this value and
// never scan the text again for the request line, the header lines, the
// client's address or the connection's fate. The views point into the text
// it was parsed from, which must outlive it.
struct HttpRequest {
  std::string_view text;  // the whole request: request line, header, body
  // method, path (the target as it stands, query included) and version. For
  // a request line with no second blank, path runs to the line's end, as a
  // form post names its page; has_path tells the two apart.
  RequestLine line;
  std::string_view query;           // of the path, after its first "?"
  std::vector<HeaderLine> headers;  // lines after the request line holding ":", in order
  std::string_view body;            // after the empty line; empty while there is none
  std::string peer;                 // the connection's peer address
  std::string client;               // see parse_request
  bool secure = false;              // came to the TLS port
  bool keep_alive = false;          // see parse_request

  // Calls `each(value)` for every header line named `name` (without regard
  // to case), in order.
  template <class Each>
  void for_each_header(std::string_view name, Each&& each) const;
  // The value of the first header line named `name`; nullopt without one.
  std::optional<std::string_view> header(std::string_view name) const;
};

// Reads `text` (a complete request, or what there is of one) as it came
// from `peer`, over TLS or not, with `trusted` the addresses of trusted
// reverse proxies:
// - header lines are the lines after the request line up to the empty line
//   (all of them while there is none), those without ":" left out;
// - keep_alive: a "close" token in a Connection line closes, a "keep-alive"
//   token keeps (tokens without regard to case), and otherwise HTTP/1.1
//   keeps the connection and older versions do not;
// - client: the peer's address, or, when the peer is one of `trusted`, the
//   right-most address of the X-Forwarded-For lines (all of them, in order)
//   that is not itself trusted, or the left-most when all are. A forwarded
//   entry that is not an address text (digits, hex digits, "." and ":", at
//   most 45) leaves the peer's address.
HttpRequest parse_request(std::string_view text, const std::string& peer, bool secure = false,
                          const std::vector<std::string>& trusted = {});

// One byte range of a body of `size` bytes, as a Range value asks for it.
enum class RangeAsk {
  Whole,          // no range, or one the server does not serve (several, malformed)
  Part,           // first..last (inclusive) lie in the body
  Unsatisfiable,  // a well-formed single range that lies outside the body
};
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};
RangeAsk parse_range(std::string_view value, std::uint64_t size, ByteRange& range);

// The addresses of a comma-separated list, blanks removed, empty ones left
// out.
std::vector<std::string> address_list(std::string_view text);

// ---------------------------------------------------------------------------

namespace http_detail {
bool same_letters(std::string_view a, std::string_view b);
std::string_view trim(std::string_view text);
}  // namespace http_detail

template <class Each>
void HttpRequest::for_each_header(std::string_view name, Each&& each) const {
  for (const HeaderLine& h : headers)
    if (http_detail::same_letters(h.name, name)) each(h.value);
}

}  // namespace tvl
