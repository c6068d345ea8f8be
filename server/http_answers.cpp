#include "server/http_answers.h"

#include <charconv>
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tvl {

namespace {

const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void put2(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10 % 10);
  at[1] = static_cast<char>('0' + value % 10);
}

// Longest decimal a size_t needs.
constexpr std::size_t kMaxDigits = 20;

void append_number(std::string& out, std::size_t value) {
  char digits[kMaxDigits];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

constexpr std::string_view kStdPart1 = "HTTP/1.0 ";
constexpr std::string_view kStdPart2 = "\r\nDate: ";
constexpr std::string_view kStdPart3 = "\r\nServer: Tavella Server/1.0\r\nAccept-Ranges: bytes\r\nContent-Length: ";
constexpr std::string_view kStdPart4 = "\r\nConnection: ";
constexpr std::string_view kStdPart5 = "\r\nContent-Type: ";
constexpr std::string_view kStdPart6 = "\r\n";

constexpr std::string_view kShortPart2 = "\r\nContent-Length: ";
constexpr std::string_view kShortPart3 = "\r\nContent-Type: text/html\r\nDate: ";
constexpr std::string_view kShortPart4 = "\r\nServer: Tavella Server/1.0\r\n";

constexpr std::size_t kMaxDate = 31;

}  // namespace

std::size_t standard_header_capacity(std::size_t status_len, std::size_t type_len,
                                     std::size_t extra_len) {
  return kStdPart1.size() + status_len + kStdPart2.size() + kMaxDate + kStdPart3.size() +
         kMaxDigits + kStdPart4.size() + 10 + kStdPart5.size() + type_len + kStdPart6.size() +
         kProtectiveLines.size() + extra_len + 2;
}

std::size_t format_http_date(std::time_t when, char (&text)[32]) {
  std::tm t{};
  gmtime_r(&when, &t);
  // "Sun, 06 Nov 1994 08:49:37 GMT"; a year outside 0..9999 is written in
  // full, which still fits the buffer.
  int year = t.tm_year + 1900;
  if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11 || year < 1000 ||
      year > 9999) {
    int n = std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d GMT",
                          kDays[(t.tm_wday % 7 + 7) % 7], t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12],
                          year, t.tm_hour, t.tm_min, t.tm_sec);
    return n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1);
  }
  char* p = text;
  std::memcpy(p, kDays[t.tm_wday], 3);
  p[3] = ',';
  p[4] = ' ';
  put2(p + 5, t.tm_mday);
  p[7] = ' ';
  std::memcpy(p + 8, kMonths[t.tm_mon], 3);
  p[11] = ' ';
  put2(p + 12, year / 100);
  put2(p + 14, year % 100);
  p[16] = ' ';
  put2(p + 17, t.tm_hour);
  p[19] = ':';
  put2(p + 20, t.tm_min);
  p[22] = ':';
  put2(p + 23, t.tm_sec);
  std::memcpy(p + 25, " GMT", 5);  // with the NUL
  return 29;
}

std::string_view http_date_now() {
  // One cache per thread: no lock, and a client thread that answers many
  // requests formats the date once per second.
  thread_local std::time_t cached_second = -1;
  thread_local char cached_text[32];
  thread_local std::size_t cached_length = 0;
  std::time_t now = std::time(nullptr);
  if (now != cached_second) {
    cached_length = format_http_date(now, cached_text);
    cached_second = now;
  }
  return std::string_view(cached_text, cached_length);
}

void append_event_stream_header(std::string& out, std::string_view date) {
  out += kStdPart1;
  out += kStatusOk;
  out += kStdPart2;
  out += date;
  out += "\r\nServer: Tavella Server/1.0\r\nConnection: close\r\nContent-Type: text/event-stream\r\n";
  out += kProtectiveLines;
  out += kNoStoreLine;
  out += "X-Accel-Buffering: no\r\n\r\n";
}

void append_standard_header(std::string& out, std::string_view status, std::string_view date,
                            std::size_t body_length, bool keep_alive,
                            std::string_view content_type, std::string_view extra_lines) {
  out += kStdPart1;
  out += status;
  out += kStdPart2;
  out += date;
  out += kStdPart3;
  append_number(out, body_length);
  out += kStdPart4;
  out += keep_alive ? std::string_view("Keep-Alive") : std::string_view("close");
  out += kStdPart5;
  out += content_type;
  out += kStdPart6;
  out += kProtectiveLines;
  out += extra_lines;
  out += "\r\n";
}

void append_standard_answer(std::string& out, std::string_view status, std::string_view date,
                            std::string_view body, bool keep_alive,
                            std::string_view content_type, std::string_view extra_lines) {
  out.reserve(out.size() +
              standard_header_capacity(status.size(), content_type.size(), extra_lines.size()) +
              body.size());
  append_standard_header(out, status, date, body.size(), keep_alive, content_type, extra_lines);
  out += body;
}

void append_short_answer(std::string& out, std::string_view status, std::string_view date,
                         std::string_view body, std::string_view extra_lines) {
  out.reserve(out.size() + kStdPart1.size() + status.size() + kShortPart2.size() + kMaxDigits +
              kShortPart3.size() + date.size() + kShortPart4.size() + kProtectiveLines.size() +
              extra_lines.size() + 2 + body.size());
  out += kStdPart1;
  out += status;
  out += kShortPart2;
  append_number(out, body.size());
  out += kShortPart3;
  out += date;
  out += kShortPart4;
  out += kProtectiveLines;
  out += extra_lines;
  out += "\r\n";
  out += body;
}

void append_test_stream(std::string& out) {
  static const std::string stream = [] {
    std::string s =
        "HTTP/1.1 200 OK\r\n"
        "Server: Tavella Server\r\n"
        "Keep-Alive: timeout=300000, max=1000000\r\n"
        "Connection: Keep-Alive\r\n"
        "Accept-Ranges: bytes\r\n"
        "Content-Length: 1000000\r\n";
    s += kProtectiveLines;
    s += kNoStoreLine;
    s += "\r\nabccccccc\r\n";
    for (int i = 0; i < 50; ++i) s += "aaa<br>";
    return s;
  }();
  out += stream;
}

}  // namespace tvl
