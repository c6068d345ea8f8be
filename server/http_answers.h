// The exact answers the chat server writes to a browser. Every function
// appends to `out` (reserving once for the whole answer) and never fails.
//
// Standard header (HTTP/1.0):
//   "HTTP/1.0 %s\r\nDate: %s\r\nServer: %s\r\nAccept-Ranges: bytes\r\n"
//   "Content-Length: %d\r\nConnection: %s\r\nContent-Type: %s\r\n\r\n"
//   status, date, server name, body length, "Keep-Alive"/"close", type;
//   before the final empty line come the protective lines (below) and the
//   caller's extra lines (each ending in CR LF).
// Short header with body (missing file, declined page), no Connection line:
//   "HTTP/1.0 %s\r\nContent-Length: %d\r\nContent-Type: text/html\r\n"
//   "Date: %s\r\nServer: %s\r\n" protective lines, extra lines,
//   "\r\n%s"
// Every answer, the test stream included, carries the protective lines: no
// browser guesses another type than the one sent, no other site frames the
// chat or learns its addresses from the referrer, and a page runs no script
// but the server's own files (no inline script, no javascript: address, no
// plug-in, no <base>, no form sent elsewhere), whatever a visitor's line
// holds. Pictures, links and styles of lines stay free.
// Thread safety: all functions may run on any number of threads at once.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace tvl {

inline constexpr const char* kServerName = "Tavella Server/1.0";

inline constexpr const char* kStatusOk = "200 OK";
inline constexpr const char* kStatusNotImplemented = "501 Not Implemented";
inline constexpr const char* kStatusForbidden = "403 Forbidden";
inline constexpr const char* kStatusFileNotFound = "404 Resource not found";
inline constexpr const char* kStatusPageNotFound = "404 Not Found";

inline constexpr const char* kStatusPartial = "206 Partial Content";
inline constexpr const char* kStatusRangeRefused = "416 Range Not Satisfiable";

inline constexpr std::string_view kProtectiveLines =
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: frame-ancestors 'self'; script-src 'self'; object-src 'none'; "
    "base-uri 'none'; form-action 'self'\r\n"
    "Referrer-Policy: same-origin\r\n";
// Answers of the chat's own pages change with every request.
inline constexpr std::string_view kNoStoreLine = "Cache-Control: no-store\r\n";

inline constexpr const char* kIpRefusalBody = "403 IP Forbidden";
inline constexpr const char* kForbiddenBody = "403 Forbidden";

// Longest header the standard format produces for a status and content type
// of the given lengths (the date text is at most 31 bytes).
std::size_t standard_header_capacity(std::size_t status_len, std::size_t type_len,
                                     std::size_t extra_len = 0);

// "%a, %d %b %Y %H:%M:%S GMT" of `when` in UTC with English names, whatever
// the locale. Writes at most 31 bytes plus NUL into `text` (29 for years
// 1000 to 9999); returns the length.
std::size_t format_http_date(std::time_t when, char (&text)[32]);

// The date text of the current second. Formatting is cached per thread and
// per second.
std::string_view http_date_now();

// Appends the standard header for a body of `body_length` bytes.
void append_standard_header(std::string& out, std::string_view status, std::string_view date,
                            std::size_t body_length, bool keep_alive,
                            std::string_view content_type, std::string_view extra_lines = {});

// Standard header plus body.
void append_standard_answer(std::string& out, std::string_view status, std::string_view date,
                            std::string_view body, bool keep_alive,
                            std::string_view content_type, std::string_view extra_lines = {});

// The header of an event stream (text/event-stream): no length (the body
// ends when the connection closes), never stored, and not held back by a
// proxy in front (X-Accel-Buffering: no).
void append_event_stream_header(std::string& out, std::string_view date);

// Short header plus body.
void append_short_answer(std::string& out, std::string_view status, std::string_view date,
                         std::string_view body, std::string_view extra_lines = {});

// The built-in test stream: a header announcing 1000000 bytes and 361 bytes
// of body; nothing else is ever sent on that connection.
void append_test_stream(std::string& out);

}  // namespace tvl
