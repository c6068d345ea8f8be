// Reading what the server needs from a request's text: where the request
// ends, its request line, header values (names without regard to case),
// whether the connection is kept, a byte range, and the client's address
// behind a trusted reverse proxy. Lines may end in CR LF or in a bare LF.
// Every function works on views of the caller's text and keeps nothing.
// Thread safety: all functions may run on any number of threads at once.
#pragma once
#include <cstddef>
#include <cstdint>
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

// Calls `each(value)` for every header line named `name` (without regard to
// case), with blanks around the value removed. Only the header is read: the
// lines after the request line up to the empty line.
template <class Each>
void for_each_header(std::string_view request, std::string_view name, Each&& each);

// Whether the answer keeps the connection: a "close" token in a Connection
// line closes it, a "keep-alive" token keeps it (tokens without regard to
// case), and otherwise HTTP/1.1 keeps it and older versions do not.
bool wants_keep_alive(std::string_view request, std::string_view version);

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

// The client's address: the peer's, or, when the peer lies in one of
// `trusted` (addresses or networks, the entries of storage/ip_list.h), the
// right-most address of the request's X-Forwarded-For lines (all of them,
// in order) that is not itself trusted, or the left-most when all are, in
// the form the log writes it (storage/client_network.h). A forwarded entry
// that is no address leaves the peer's address.
std::string client_address(const std::string& peer, std::string_view request,
                           const std::vector<std::string>& trusted);

// ---------------------------------------------------------------------------

namespace http_detail {
bool same_letters(std::string_view a, std::string_view b);
std::string_view trim(std::string_view text);
}  // namespace http_detail

template <class Each>
void for_each_header(std::string_view request, std::string_view name, Each&& each) {
  const std::size_t end = header_end(request);
  const std::string_view header = end == std::string_view::npos ? request : request.substr(0, end);
  std::size_t line = header.find('\n');
  while (line != std::string_view::npos && line + 1 < header.size()) {
    const std::size_t start = line + 1;
    std::size_t stop = header.find('\n', start);
    const std::string_view text =
        header.substr(start, stop == std::string_view::npos ? std::string_view::npos : stop - start);
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos &&
        http_detail::same_letters(http_detail::trim(text.substr(0, colon)), name))
      each(http_detail::trim(text.substr(colon + 1)));
    line = stop;
  }
}

}  // namespace tvl
